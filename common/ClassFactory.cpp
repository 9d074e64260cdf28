#include "ClassFactory.h"

#include "ComModule.h"

namespace com {

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
    const ULONG count = ++refs_;
    if (count == 2) ThisModule().Lock();  // the first reference outside the cache
    return count;
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
    const ULONG count = --refs_;
    if (count == 1) ThisModule().Unlock();
    if (count == 0) delete this;
    return count;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    return creator_(outer, riid, object);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock) ThisModule().Lock();
    else ThisModule().Unlock();
    return S_OK;
}

}  // namespace com
