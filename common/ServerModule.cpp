#include "ServerModule.h"

#include <new>

#include "HResult.h"

namespace com {
namespace {

// Switches the thread to the system's default locale for registration and
// restores it on every path.
class SystemLocaleScope {
public:
    SystemLocaleScope() noexcept : previous_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(previous_); }

private:
    LCID previous_;
};

}  // namespace

ServerModule::~ServerModule() {
    for (size_t i = 0; i < classCount_; ++i) {
        if (classes_[i].factory) classes_[i].factory->Release();
        classes_[i].factory = nullptr;
    }
}

HRESULT ServerModule::GetClassObject(REFCLSID clsid, REFIID riid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!Instance()) return E_UNEXPECTED;
    for (size_t i = 0; i < classCount_; ++i) {
        ClassEntry& entry = classes_[i];
        if (!IsEqualCLSID(clsid, *entry.registration.clsid)) continue;
        {
            CriticalSectionGuard guard(classObjectLock_);
            if (!entry.factory) {
                entry.factory = new (std::nothrow) ClassFactory(entry.create);
                if (!entry.factory) return E_OUTOFMEMORY;
            }
        }
        const HRESULT hr = entry.factory->QueryInterface(riid, object);
        if (SUCCEEDED(hr) && !*object) return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ServerModule::RegisterServer(const wchar_t* helpDirectory) noexcept {
    SystemLocaleScope locale;
    UniqueRegKey root;
    RETURN_IF_FAILED(OpenClassesRoot(perUser_, &root));
    for (size_t i = 0; i < classCount_; ++i)
        RETURN_IF_FAILED(RegisterClassKeys(root.get(), classes_[i].registration, ModulePath(), LibId()));
    return RegisterTypeLibrary(ModulePath(), helpDirectory, perUser_);
}

HRESULT ServerModule::UnregisterServer() noexcept {
    SystemLocaleScope locale;
    UniqueRegKey root;
    RETURN_IF_FAILED(OpenClassesRoot(perUser_, &root));
    for (size_t i = 0; i < classCount_; ++i)
        RETURN_IF_FAILED(UnregisterClassKeys(root.get(), classes_[i].registration));
    return UnregisterTypeLibrary(LibId(), MajorVersion(), MinorVersion(), TypeLibLcid(), perUser_);
}

}  // namespace com
