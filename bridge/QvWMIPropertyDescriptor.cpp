#include "QvWMIPropertyDescriptor.h"

#include <cwchar>
#include <vector>

#include "ErrorReporting.h"
#include "PropertyNames.h"

namespace {

HRESULT CreateFailed(HRESULT hr) noexcept {
    return ReportError(L"PropertyDescriptor::Create", hr, IDS_CREATE_OBJECT_FAILED, L"Property Descriptor");
}

// A getter's work: check the out-pointer, then copy the field under the lock.
template <class T>
HRESULT ReadField(CLock& lock, const wchar_t* action, const wchar_t* argument, const T& field, T* out) noexcept {
    if (!out) return ReportError(action, E_POINTER, IDS_ARG_NULL, argument);
    CAutoLock guard(lock);
    *out = field;
    return S_OK;
}

HRESULT ReadField(CLock& lock, const wchar_t* action, const wchar_t* argument, const com::UniqueBstr& field,
                  BSTR* out) noexcept {
    if (!out) return ReportError(action, E_POINTER, IDS_ARG_NULL, argument);
    CAutoLock guard(lock);
    return com::CopyBstr(field.get(), out);
}

// The qualifier's value as type vt; VT_EMPTY when the qualifier is absent or
// its value does not convert.
com::UniqueVariant ReadQualifier(wmi::Session& session, const wmi::Ref<IWbemQualifierSet>& qualifiers,
                                 const wchar_t* name, VARTYPE vt) noexcept {
    com::UniqueVariant value;
    if (FAILED(session.Get(qualifiers, name, value.put())) ||
        (V_VT(value.get()) != vt && FAILED(VariantChangeType(value.get(), value.get(), 0, vt))))
        value.reset();
    return value;
}

}  // namespace

HRESULT CQvWMIPropertyDescriptor::Create(wmi::Session& session, BSTR name,
                                         const wmi::Ref<IWbemClassObject>& classDefinition,
                                         IQvWMIPropertyDescriptor** ppDescriptor) noexcept {
    if (!ppDescriptor) return CreateFailed(E_POINTER);
    *ppDescriptor = nullptr;
    if (!classDefinition || !name || !*name) return CreateFailed(E_INVALIDARG);
    com::ComPtr<CQvWMIPropertyDescriptor> descriptor = Make();
    if (!descriptor) return CreateFailed(E_OUTOFMEMORY);
    CIMTYPE type = CIM_EMPTY;
    LONG flavor = 0;
    HRESULT hr = session.Get(classDefinition, name, nullptr, &type, &flavor);
    if (FAILED(hr)) return CreateFailed(hr);
    if (FAILED(com::CopyBstr(name, descriptor->name_.put()))) return CreateFailed(E_OUTOFMEMORY);
    descriptor->type_ = static_cast<EQvWMIPropertyType>(type);
    descriptor->flavor_ = static_cast<EQvWMIPropertyFlavor>(flavor);
    descriptor->ReadQualifiers(session, classDefinition);
    descriptor->marshaler_.Aggregate(descriptor->ControllingUnknown());
    hr = descriptor->QueryInterface(IID_PPV_ARGS(ppDescriptor));
    return FAILED(hr) ? CreateFailed(hr) : S_OK;
}

void CQvWMIPropertyDescriptor::ReadQualifiers(wmi::Session& session,
                                              const wmi::Ref<IWbemClassObject>& classDefinition) noexcept {
    // System properties have no qualifier set.
    wmi::Ref<IWbemQualifierSet> qualifiers;
    if (FAILED(session.GetPropertyQualifierSet(classDefinition, name_.get(), &qualifiers)) || !qualifiers) return;

    // One call for the names the set holds, then a read of only those: a
    // property usually carries few of the nine, and under Wine every read
    // is a query of its own. Without the list every qualifier is asked for.
    std::vector<com::UniqueBstr> present;
    SAFEARRAY* names = nullptr;
    const bool listed = SUCCEEDED(session.GetNames(qualifiers, &names)) && SUCCEEDED(CopyNames(names, &present));
    auto holds = [&](const wchar_t* name) {
        if (!listed) return true;
        for (const com::UniqueBstr& held : present)
            if (held && _wcsicmp(held.get(), name) == 0) return true;
        return false;
    };

    auto text = [&](const wchar_t* name, com::UniqueBstr& field) {
        if (!holds(name)) return;
        com::UniqueVariant value = ReadQualifier(session, qualifiers, name, VT_BSTR);
        if (V_VT(value.get()) != VT_BSTR) return;
        field.reset(V_BSTR(value.get()));  // taken over from the VARIANT
        V_VT(value.get()) = VT_EMPTY;
    };
    auto flag = [&](const wchar_t* name, VARIANT_BOOL& field) {
        if (!holds(name)) return;
        com::UniqueVariant value = ReadQualifier(session, qualifiers, name, VT_BOOL);
        if (V_VT(value.get()) == VT_BOOL) field = V_BOOL(value.get());
    };
    auto number = [&](const wchar_t* name, int& field) {
        if (!holds(name)) return;
        com::UniqueVariant value = ReadQualifier(session, qualifiers, name, VT_INT);
        if (V_VT(value.get()) == VT_INT) field = V_INT(value.get());
    };
    text(L"DisplayName", displayName_);
    flag(L"Key", isKey_);
    text(L"Description", description_);
    number(L"MaxValue", maxValue_);
    number(L"MinValue", minValue_);
    number(L"MaxLen", maxLength_);
    flag(L"Read", isReadable_);
    flag(L"Write", isWritable_);
    flag(L"Required", isRequired_);
}

STDMETHODIMP CQvWMIPropertyDescriptor::get_Name(BSTR* pbstrName) {
    return ReadField(*this, L"PropertyDescriptor::get_Name", L"pbstrName", name_, pbstrName);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_DisplayName(BSTR* pbstrDisplayName) {
    return ReadField(*this, L"PropertyDescriptor::get_DisplayName", L"pbstrDisplayName", displayName_,
                     pbstrDisplayName);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_Type(EQvWMIPropertyType* peType) {
    return ReadField(*this, L"PropertyDescriptor::get_Type", L"peType", type_, peType);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_IsKey(VARIANT_BOOL* pbIsKey) {
    return ReadField(*this, L"PropertyDescriptor::get_IsKey", L"pbIsKey", isKey_, pbIsKey);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_Description(BSTR* pbstrDescription) {
    return ReadField(*this, L"PropertyDescriptor::get_Description", L"pbstrDescription", description_,
                     pbstrDescription);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_MaxValue(int* pnMaxValue) {
    return ReadField(*this, L"PropertyDescriptor::get_MaxValue", L"pnMaxValue", maxValue_, pnMaxValue);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_MaxLength(int* pnMaxLength) {
    return ReadField(*this, L"PropertyDescriptor::get_MaxLength", L"pnMaxLength", maxLength_, pnMaxLength);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_MinValue(int* pnMinValue) {
    return ReadField(*this, L"PropertyDescriptor::get_MinValue", L"pnMinValue", minValue_, pnMinValue);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_IsReadable(VARIANT_BOOL* pbIsReadable) {
    return ReadField(*this, L"PropertyDescriptor::get_IsReadable", L"pbIsReadable", isReadable_, pbIsReadable);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_IsWritable(VARIANT_BOOL* pbIsWritable) {
    return ReadField(*this, L"PropertyDescriptor::get_IsWritable", L"pbIsWritable", isWritable_, pbIsWritable);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_IsRequired(VARIANT_BOOL* pbIsRequired) {
    return ReadField(*this, L"PropertyDescriptor::get_IsRequired", L"pbIsRequired", isRequired_, pbIsRequired);
}
STDMETHODIMP CQvWMIPropertyDescriptor::get_Flavor(EQvWMIPropertyFlavor* peFlavor) {
    return ReadField(*this, L"PropertyDescriptor::get_Flavor", L"peFlavor", flavor_, peFlavor);
}

HRESULT CQvWMIPropertyDescriptor::QueryExtraInterface(REFIID riid, void** object) {
    return marshaler_.QueryInterface(riid, object);
}
