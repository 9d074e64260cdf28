#include "WMICom.h"

#include <new>
#include <string>

#include "Check.h"

namespace {
// "Object required", as an automation host reports a putref of a non-object.
constexpr HRESULT kObjectRequired = static_cast<HRESULT>(0x800A01A8);
}  // namespace

HRESULT WMICom::Put(com::UniqueVariant* member, const VARIANT& value) noexcept {
    com::UniqueVariant copy;
    // A script's variable arrives by reference: store what it refers to.
    const HRESULT hr = VariantCopyInd(copy.get(), const_cast<VARIANT*>(&value));
    if (FAILED(hr)) return hr;
    *member = std::move(copy);
    return S_OK;
}

HRESULT WMICom::PutRef(com::UniqueVariant* member, const VARIANT& value) noexcept {
    com::UniqueVariant copy;
    HRESULT hr = VariantCopyInd(copy.get(), const_cast<VARIANT*>(&value));
    if (FAILED(hr)) return hr;
    const VARTYPE type = V_VT(copy.get());
    if (type != VT_DISPATCH && type != VT_UNKNOWN) return kObjectRequired;
    *member = std::move(copy);
    return S_OK;
}

HRESULT WMICom::Get(const com::UniqueVariant& member, VARIANT* value) noexcept {
    if (!value) return E_POINTER;
    VariantInit(value);
    // VariantCopy adds a reference to an object rather than copying it.
    return VariantCopy(value, const_cast<VARIANT*>(member.get()));
}

STDMETHODIMP WMICom::km_docheck(VARIANT_BOOL* pbResult) {
    if (!pbResult) return E_POINTER;
    bool verdict = false;
    std::wstring result;
    const HRESULT hr = DoCheck(*hostname_.get(), *timeout_.get(), *parameter_.get(), &verdict, &result);
    if (FAILED(hr)) return hr;
    com::UniqueVariant text;
    V_VT(text.get()) = VT_BSTR;
    V_BSTR(text.get()) = SysAllocStringLen(result.data(), static_cast<UINT>(result.size()));
    if (!V_BSTR(text.get())) return E_OUTOFMEMORY;
    result_ = std::move(text);
    *pbResult = verdict ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP WMICom::km_showGUI() {
    std::wstring composed;
    const HRESULT hr = form_.Show(*hostname_.get(), *timeout_.get(), *parameter_.get(), &composed);
    // Closed with the close box (S_FALSE): km_parameter stays as it was.
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    com::UniqueVariant text;
    V_VT(text.get()) = VT_BSTR;
    V_BSTR(text.get()) = SysAllocStringLen(composed.data(), static_cast<UINT>(composed.size()));
    if (!V_BSTR(text.get())) return E_OUTOFMEMORY;
    parameter_ = std::move(text);
    return S_OK;
}
