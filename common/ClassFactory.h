// The class object of a creatable class: a standard class factory that lives
// as long as the module caches it. References held outside the module's cache
// count as a module lock, so the DLL stays loaded while a client holds one.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace com {

using CreatorFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** object);

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(CreatorFunction creator) noexcept : creator_(creator) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ~ClassFactory() = default;
    CreatorFunction creator_;
    std::atomic<ULONG> refs_{1};  // the module's cache holds the first one
};

}  // namespace com
