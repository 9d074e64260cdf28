#include "ComModule.h"

#include <wrl/client.h>

namespace com {

ComModule::ComModule(const GUID& libid, WORD majorVersion, WORD minorVersion, LCID lcid) noexcept
    : libid_(libid), major_(majorVersion), minor_(minorVersion), lcid_(lcid) {
    // The module that holds this object: the DLL, or a test program linking the code.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(this), &instance_);
    GetModuleFileNameW(instance_, path_, MAX_PATH);
}

ComModule::~ComModule() {
    if (terminating_) return;
    for (int i = 0; i < typeInfoCount_; ++i) typeInfos_[i].typeInfo->Release();
    if (typeLib_) typeLib_->Release();
}

HRESULT ComModule::GetTypeInfo(REFIID iid, ITypeInfo** typeInfo) noexcept {
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    CriticalSectionGuard guard(typeInfoLock_);
    for (int i = 0; i < typeInfoCount_; ++i) {
        if (IsEqualIID(typeInfos_[i].iid, iid)) {
            *typeInfo = typeInfos_[i].typeInfo;
            (*typeInfo)->AddRef();
            return S_OK;
        }
    }
    if (!typeLib_) {
        HRESULT hr = LoadRegTypeLib(libid_, major_, minor_, lcid_, &typeLib_);
        if (FAILED(hr)) hr = LoadTypeLibEx(path_, REGKIND_NONE, &typeLib_);
        if (FAILED(hr)) return hr;
    }
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    HRESULT hr = typeLib_->GetTypeInfoOfGuid(iid, &info);
    if (FAILED(hr)) return hr;
    if (typeInfoCount_ < kMaxTypeInfos) {
        typeInfos_[typeInfoCount_++] = {iid, info.Get()};
        info->AddRef();
    }
    *typeInfo = info.Detach();
    return S_OK;
}

}  // namespace com
