#include "WMICom.h"

#include <new>
#include <string>

#include "BridgeError.h"
#include "Check.h"

namespace {
// "Object required", as an automation host reports a putref of a non-object.
constexpr HRESULT kObjectRequired = static_cast<HRESULT>(0x800A01A8);
}  // namespace

namespace {

// A script's variable arrives by reference: the copy holds what it refers
// to. A reference without a target is refused, not followed; so is one that
// leads to another reference, which would be kept pointing into the caller.
HRESULT CopyMemberValue(const VARIANT& value, com::UniqueVariant* copy) noexcept {
    if ((V_VT(&value) & VT_BYREF) && !V_BYREF(&value)) return E_POINTER;
    if (V_VT(&value) == (VT_BYREF | VT_VARIANT) && (V_VT(V_VARIANTREF(&value)) & VT_BYREF))
        return DISP_E_TYPEMISMATCH;
    return VariantCopyInd(copy->get(), const_cast<VARIANT*>(&value));
}

}  // namespace

HRESULT WMICom::Put(com::UniqueVariant* member, const VARIANT& value, const wchar_t* name) noexcept {
    com::UniqueVariant copy;
    const HRESULT hr = CopyMemberValue(value, &copy);
    if (FAILED(hr)) return ReportPluginError(hr, name);
    *member = std::move(copy);
    return S_OK;
}

HRESULT WMICom::PutRef(com::UniqueVariant* member, const VARIANT& value, const wchar_t* name) noexcept {
    com::UniqueVariant copy;
    HRESULT hr = CopyMemberValue(value, &copy);
    if (FAILED(hr)) return ReportPluginError(hr, name);
    const VARTYPE type = V_VT(copy.get());
    if (type != VT_DISPATCH && type != VT_UNKNOWN) return ReportPluginError(kObjectRequired, name);
    *member = std::move(copy);
    return S_OK;
}

HRESULT WMICom::Get(const com::UniqueVariant& member, VARIANT* value) noexcept {
    if (!value) return E_POINTER;
    VariantInit(value);
    // VariantCopy adds a reference to an object rather than copying it.
    return VariantCopy(value, const_cast<VARIANT*>(member.get()));
}

namespace {

HRESULT TextValue(const std::wstring& text, com::UniqueVariant* value) noexcept {
    BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!copy) return E_OUTOFMEMORY;
    V_VT(value->put()) = VT_BSTR;
    V_BSTR(value->get()) = copy;
    return S_OK;
}

}  // namespace

STDMETHODIMP WMICom::km_docheck(VARIANT_BOOL* pbResult) {
    if (!pbResult) return ReportPluginError(E_POINTER, L"km_docheck");
    // The wait for the check pumps messages: the host may release this
    // object meanwhile.
    com::ComPtr<WMICom> self(this);
    // Copies: a call that the wait dispatches may replace the members.
    com::UniqueVariant hostname, timeout, parameter;
    HRESULT hr = VariantCopy(hostname.get(), hostname_.get());
    if (SUCCEEDED(hr)) hr = VariantCopy(timeout.get(), timeout_.get());
    if (SUCCEEDED(hr)) hr = VariantCopy(parameter.get(), parameter_.get());
    bool verdict = false;
    std::wstring result;
    if (SUCCEEDED(hr)) hr = DoCheck(*hostname.get(), *timeout.get(), *parameter.get(), &verdict, &result);
    com::UniqueVariant text;
    if (SUCCEEDED(hr)) hr = TextValue(result, &text);
    if (FAILED(hr)) return ReportPluginError(hr, L"km_docheck");
    result_ = std::move(text);
    *pbResult = verdict ? VARIANT_TRUE : VARIANT_FALSE;
    ClearPluginError();
    return S_OK;
}

STDMETHODIMP WMICom::km_showGUI() {
    com::ComPtr<WMICom> self(this);
    std::wstring composed;
    HRESULT hr = form_.Show(*hostname_.get(), *timeout_.get(), *parameter_.get(), &composed);
    // Closed with the close box (S_FALSE): km_parameter stays as it was.
    com::UniqueVariant text;
    if (hr == S_OK) hr = TextValue(composed, &text);
    if (FAILED(hr)) return ReportPluginError(hr, L"km_showGUI");
    if (hr == S_OK) parameter_ = std::move(text);
    ClearPluginError();
    return S_OK;
}
