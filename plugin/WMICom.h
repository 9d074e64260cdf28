// WMICom, the class the monitoring host creates: four Variant members carry
// a check's input and output; km_docheck runs the check and km_showGUI
// configures one.
#pragma once

#include <windows.h>

#include "../common/ComObject.h"
#include "../common/Raii.h"
#include "frmmain.h"
#include "ostrel_h.h"

class WMICom final : public com::ComObject<WMICom, com::Dual<_WMICom>, com::ErrorInfoFor<_WMICom>> {
public:
    WMICom() noexcept = default;

    // _WMICom
    STDMETHODIMP km_docheck(VARIANT_BOOL* pbResult) override;
    STDMETHODIMP km_showGUI() override;
    STDMETHODIMP put_km_result(VARIANT value) override { return Put(&result_, value, L"km_result"); }
    STDMETHODIMP putref_km_result(VARIANT value) override { return PutRef(&result_, value, L"km_result"); }
    STDMETHODIMP get_km_result(VARIANT* value) override { return Get(result_, value); }
    STDMETHODIMP put_km_parameter(VARIANT value) override { return Put(&parameter_, value, L"km_parameter"); }
    STDMETHODIMP putref_km_parameter(VARIANT value) override { return PutRef(&parameter_, value, L"km_parameter"); }
    STDMETHODIMP get_km_parameter(VARIANT* value) override { return Get(parameter_, value); }
    STDMETHODIMP put_km_timeout(VARIANT value) override { return Put(&timeout_, value, L"km_timeout"); }
    STDMETHODIMP putref_km_timeout(VARIANT value) override { return PutRef(&timeout_, value, L"km_timeout"); }
    STDMETHODIMP get_km_timeout(VARIANT* value) override { return Get(timeout_, value); }
    STDMETHODIMP put_km_hostname(VARIANT value) override { return Put(&hostname_, value, L"km_hostname"); }
    STDMETHODIMP putref_km_hostname(VARIANT value) override { return PutRef(&hostname_, value, L"km_hostname"); }
    STDMETHODIMP get_km_hostname(VARIANT* value) override { return Get(hostname_, value); }

private:
    ~WMICom() override = default;
    // put stores a copy of the value; putref keeps the object reference it
    // holds; get hands out the object itself or a copy of the value.
    // Failures are reported with the member's name.
    static HRESULT Put(com::UniqueVariant* member, const VARIANT& value, const wchar_t* name) noexcept;
    static HRESULT PutRef(com::UniqueVariant* member, const VARIANT& value, const wchar_t* name) noexcept;
    static HRESULT Get(const com::UniqueVariant& member, VARIANT* value) noexcept;

    com::UniqueVariant hostname_;
    com::UniqueVariant timeout_;
    com::UniqueVariant parameter_;
    com::UniqueVariant result_;
    // The configuration form, loaded afresh by every km_showGUI.
    frmmain form_;
    // Set while km_docheck or km_showGUI runs. Both wait pumping messages,
    // so a call from another apartment can arrive inside them; a nested
    // check or form on this object is refused instead of run inside.
    bool checking_ = false;
    bool showing_ = false;
};
