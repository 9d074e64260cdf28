#include "QvWMIInstance.h"

#include <algorithm>
#include <new>

#include "../common/HResult.h"
#include "ErrorReporting.h"

namespace {

struct SafeArrayTraits {
    static SAFEARRAY* invalid() noexcept { return nullptr; }
    static void close(SAFEARRAY* array) noexcept { SafeArrayDestroy(array); }
};
using UniqueSafeArray = com::UniqueResource<SAFEARRAY*, SafeArrayTraits>;

HRESULT CreateFailed(HRESULT hr) noexcept {
    return ReportError(L"Instance::Create", hr, IDS_CREATE_OBJECT_FAILED, L"Instance");
}

}  // namespace

HRESULT CQvWMIInstance::Create(wmi::Session& session, BSTR objectPath, const wmi::Ref<IWbemClassObject>& object,
                               IQvWMIInstance** ppInstance) noexcept {
    if (!ppInstance) return CreateFailed(E_POINTER);
    *ppInstance = nullptr;
    if (!object) return CreateFailed(E_INVALIDARG);
    com::ComPtr<CQvWMIInstance> instance = Make();
    if (!instance) return CreateFailed(E_OUTOFMEMORY);
    if (FAILED(com::CopyBstr(objectPath, instance->objectPath_.put()))) return CreateFailed(E_OUTOFMEMORY);
    instance->serialised_ = object.Serialised();
    RETURN_IF_FAILED(instance->GetFields(session, object));
    // A value that holds an interface pointer (an embedded object) belongs
    // to the apartment that made it; an instance holding one is not agile.
    const auto& values = instance->values_;
    if (std::none_of(values.begin(), values.end(), wmi::HoldsInterface))
        instance->marshaler_.Aggregate(instance->ControllingUnknown());
    const HRESULT hr = instance->QueryInterface(IID_PPV_ARGS(ppInstance));
    return FAILED(hr) ? CreateFailed(hr) : S_OK;
}

CQvWMIInstance::~CQvWMIInstance() {
    for (VARIANT& value : values_) wmi::ClearValue(serialised_, &value);
}

HRESULT CQvWMIInstance::GetFields(wmi::Session& session, const wmi::Ref<IWbemClassObject>& object) noexcept {
    const wchar_t* path = objectPath_ ? objectPath_.get() : L"";
    auto failed = [path](HRESULT hr) {
        return ReportError(L"Instance::GetFields", hr, IDS_QUERY_PROPERTIES_FAILED, path);
    };

    UniqueSafeArray names;
    HRESULT hr = session.GetNames(object, WBEM_FLAG_ALWAYS, names.put());
    if (FAILED(hr)) return failed(hr);
    VARTYPE type = VT_EMPTY;
    LONG lower = 0, upper = -1;
    if (!names || SafeArrayGetDim(names.get()) != 1 || FAILED(SafeArrayGetVartype(names.get(), &type)) ||
        type != VT_BSTR || FAILED(SafeArrayGetLBound(names.get(), 1, &lower)) ||
        FAILED(SafeArrayGetUBound(names.get(), 1, &upper)))
        return failed(E_INVALIDARG);
    // Ours alone, and one-dimensional: read in place.
    const BSTR* name = static_cast<const BSTR*>(names.get()->pvData);
    const size_t count = upper >= lower ? static_cast<size_t>(upper - lower) + 1 : 0;

    try {
        size_t totalLength = 0;
        for (size_t i = 0; i < count; ++i) totalLength += SysStringLen(name[i]);
        // Reserved up front, so that a value once read always finds its place.
        values_.reserve(count);
        index_.Reserve(count, totalLength);
    } catch (const std::bad_alloc&) {
        return failed(E_OUTOFMEMORY);
    }
    for (size_t i = 0; i < count; ++i) {
        VARIANT value;
        VariantInit(&value);
        hr = session.Get(object, name[i], &value, nullptr, nullptr);
        if (FAILED(hr)) return failed(hr);
        values_.push_back(value);
        index_.Add(name[i], SysStringLen(name[i]));
    }
    index_.Sort();
    return S_OK;
}

STDMETHODIMP CQvWMIInstance::get_Field(BSTR bstrPropertyName, VARIANT* pField) {
    return get_Item(bstrPropertyName, pField);
}

STDMETHODIMP CQvWMIInstance::get_ObjectPath(BSTR* pbstrObjectPath) {
    if (!pbstrObjectPath)
        return ReportError(L"Instance::get_ObjectPath", E_POINTER, IDS_ARG_NULL, L"pbstrObjectPath");
    CAutoLock guard(*this);
    return com::CopyBstr(objectPath_.get(), pbstrObjectPath);
}

ULONG CQvWMIInstance::GetItemCount() {
    CAutoLock guard(*this);
    return static_cast<ULONG>(values_.size());
}

HRESULT CQvWMIInstance::GetItemAt(ULONG index, VARIANT* pValue) {
    CAutoLock guard(*this);
    if (index >= values_.size()) return E_INVALIDARG;
    return VariantCopy(pValue, &values_[index]);
}

HRESULT CQvWMIInstance::GetItem(BSTR key, VARIANT* pValue) {
    CAutoLock guard(*this);
    ULONG position = 0;
    RETURN_IF_FAILED(index_.Find(key, &position));
    return VariantCopy(pValue, &values_[position]);
}

HRESULT CQvWMIInstance::ItemToVariant(VARIANT& item, VARIANT* result) {
    *result = item;
    VariantInit(&item);
    return S_OK;
}

HRESULT CQvWMIInstance::QueryExtraInterface(REFIID riid, void** object) {
    return marshaler_.QueryInterface(riid, object);
}
