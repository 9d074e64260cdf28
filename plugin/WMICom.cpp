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

namespace {

// Sets a flag for its scope.
class FlagScope {
public:
    explicit FlagScope(bool& flag) noexcept : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

}  // namespace

STDMETHODIMP WMICom::km_docheck(VARIANT_BOOL* pbResult) {
    if (!pbResult) return ReportPluginError(E_POINTER, L"km_docheck");
    *pbResult = VARIANT_FALSE;
    // The wait for the check pumps messages: the host may release this
    // object meanwhile.
    com::ComPtr<WMICom> self(this);
    bool verdict = false;
    std::wstring result;
    HRESULT hr = S_OK;
    if (checking_) {
        // Inside the wait of a running check: that check stays as it is,
        // and this call's text is km_result until it returns.
        try {
            BridgeError error;
            error.Record(kCheckRunning, L"A check is already running on this object.");
            result = error.Text();
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    } else {
        FlagScope running(checking_);
        // Copies: a call that the wait dispatches may replace the members.
        com::UniqueVariant hostname, timeout, parameter;
        hr = VariantCopy(hostname.get(), hostname_.get());
        if (SUCCEEDED(hr)) hr = VariantCopy(timeout.get(), timeout_.get());
        if (SUCCEEDED(hr)) hr = VariantCopy(parameter.get(), parameter_.get());
        if (SUCCEEDED(hr)) hr = DoCheck(*hostname.get(), *timeout.get(), *parameter.get(), &verdict, &result);
    }
    com::UniqueVariant text;
    if (SUCCEEDED(hr)) hr = TextValue(result, &text);
    if (FAILED(hr)) return ReportPluginError(hr, L"km_docheck");
    result_ = std::move(text);
    *pbResult = verdict ? VARIANT_TRUE : VARIANT_FALSE;
    ClearPluginError();
    return S_OK;
}

STDMETHODIMP WMICom::km_showGUI() {
    // A modal form inside a running check's wait (or inside the open form)
    // would hold that call up for as long as the form stays open.
    if (checking_) return ReportPluginError(kCheckRunning, L"km_showGUI: a check is running on this object");
    if (ThreadWaitsForRun())
        return ReportPluginError(kCheckRunning, L"km_showGUI: a check is waiting on this thread");
    if (showing_) return ReportPluginError(kCheckRunning, L"km_showGUI: the form is already open");
    com::ComPtr<WMICom> self(this);
    FlagScope showing(showing_);
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
