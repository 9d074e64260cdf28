// A property descriptor: what a class definition says about one property,
// its CIM type and flavour and what its qualifiers say, read once. It holds
// no WMI interface.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include "../common/ComObject.h"
#include "../common/FreeThreadedMarshaler.h"
#include "../common/Raii.h"
#include "Lock.h"
#include "Wmi.h"
#include "qvWMI_h.h"

class CQvWMIPropertyDescriptor final
    : public com::ComObject<CQvWMIPropertyDescriptor, com::Dual<IQvWMIPropertyDescriptor>,
                            com::ErrorInfoFor<IQvWMIPropertyDescriptor>>,
      public CMutex {
public:
    // Describes the property name of classDefinition, read within session.
    // Reports its failures.
    static HRESULT Create(wmi::Session& session, BSTR name, const wmi::Ref<IWbemClassObject>& classDefinition,
                          IQvWMIPropertyDescriptor** ppDescriptor) noexcept;

    CQvWMIPropertyDescriptor() noexcept = default;

    // IQvWMIPropertyDescriptor
    STDMETHODIMP get_Name(BSTR* pbstrName) override;
    STDMETHODIMP get_DisplayName(BSTR* pbstrDisplayName) override;
    STDMETHODIMP get_Type(EQvWMIPropertyType* peType) override;
    STDMETHODIMP get_IsKey(VARIANT_BOOL* pbIsKey) override;
    STDMETHODIMP get_Description(BSTR* pbstrDescription) override;
    STDMETHODIMP get_MaxValue(int* pnMaxValue) override;
    STDMETHODIMP get_MaxLength(int* pnMaxLength) override;
    STDMETHODIMP get_MinValue(int* pnMinValue) override;
    STDMETHODIMP get_IsReadable(VARIANT_BOOL* pbIsReadable) override;
    STDMETHODIMP get_IsWritable(VARIANT_BOOL* pbIsWritable) override;
    STDMETHODIMP get_IsRequired(VARIANT_BOOL* pbIsRequired) override;
    STDMETHODIMP get_Flavor(EQvWMIPropertyFlavor* peFlavor) override;

private:
    ~CQvWMIPropertyDescriptor() override = default;

    // Fills the qualifier fields; an absent or unconvertible qualifier
    // leaves its field at the default.
    void ReadQualifiers(wmi::Session& session, const wmi::Ref<IWbemClassObject>& classDefinition) noexcept;
    HRESULT QueryExtraInterface(REFIID riid, void** object) override;

    com::UniqueBstr name_;
    com::UniqueBstr displayName_;
    EQvWMIPropertyType type_ = QV_WMI_PROPERTY_TYPE_EMPTY;
    VARIANT_BOOL isKey_ = VARIANT_FALSE;
    com::UniqueBstr description_;
    int maxValue_ = 0;
    int maxLength_ = 0;
    int minValue_ = 0;
    VARIANT_BOOL isReadable_ = VARIANT_FALSE;
    VARIANT_BOOL isWritable_ = VARIANT_FALSE;
    VARIANT_BOOL isRequired_ = VARIANT_FALSE;
    EQvWMIPropertyFlavor flavor_ = static_cast<EQvWMIPropertyFlavor>(0);
    com::FreeThreadedMarshaler marshaler_;
};
