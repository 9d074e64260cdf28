#include "QvWMIClass.h"

#include <new>
#include <string>
#include <vector>

#include "ErrorReporting.h"
#include "QvWMIInstance.h"
#include "QvWMIInstanceCollection.h"
#include "QvWMIPropertyCollection.h"
#include "QvWMIPropertyDescriptor.h"
#include "QvWMIServer.h"
#include "PropertyNames.h"
#include "VariantArgument.h"

using com::ComPtr;

namespace {

constexpr ULONG kBatchSize = 64;

// Owns the counted references of a list of interfaces.
template <class I>
class InterfaceList {
public:
    InterfaceList() = default;
    InterfaceList(const InterfaceList&) = delete;
    InterfaceList& operator=(const InterfaceList&) = delete;
    ~InterfaceList() {
        for (I* item : items_) item->Release();
    }
    // Takes over the caller's reference; false when memory runs out (the
    // reference is then released).
    bool Adopt(I* item) noexcept {
        try {
            items_.push_back(item);
            return true;
        } catch (const std::bad_alloc&) {
            item->Release();
            return false;
        }
    }
    I* const* data() const noexcept { return items_.data(); }
    size_t size() const noexcept { return items_.size(); }

private:
    std::vector<I*> items_;
};

// True when the WQL text ends inside a quoted string (single or double
// quotes; a backslash escapes the next character inside one). Such a filter
// is refused before WMI sees it: Wine's WQL parser reads past its end.
bool HasUnterminatedQuote(const wchar_t* text, size_t length) noexcept {
    wchar_t quote = 0;
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = text[i];
        if (!quote) {
            if (c == L'\'' || c == L'"') quote = c;
        } else if (c == L'\\') {
            ++i;
        } else if (c == quote) {
            quote = 0;
        }
    }
    return quote != 0;
}

}  // namespace

CQvWMIClass::~CQvWMIClass() = default;

HRESULT CQvWMIClass::Create(CQvWMIServer* server, const wmi::Ref<IWbemClassObject>& classDefinition,
                            const wchar_t* objectPath, IQvWMIClass** ppClass) noexcept {
    ComPtr<CQvWMIClass> object = Make();
    if (!object) return ReportError(L"Class::Create", E_OUTOFMEMORY, IDS_CREATE_OBJECT_FAILED, L"Class");
    object->server_ = server;
    object->services_ = server->Services();
    object->classDefinition_ = classDefinition;
    HRESULT hr = com::CopyBstr(objectPath, object->objectPath_.put());
    if (FAILED(hr)) return BareFailure(hr);
    hr = object->QueryInterface(IID_IQvWMIClass, reinterpret_cast<void**>(ppClass));
    if (FAILED(hr)) return ReportError(L"Class::Create", hr, IDS_CREATE_OBJECT_FAILED, L"Class");
    return S_OK;
}

STDMETHODIMP CQvWMIClass::get_ObjectPath(BSTR* pbstrObjectPath) {
    if (!pbstrObjectPath)
        return ReportError(L"Class::get_ObjectPath", E_POINTER, IDS_ARG_NULL, L"pbstrObjectPath");
    CAutoLock guard(*this);
    return com::CopyBstr(objectPath_.get(), pbstrObjectPath);
}

STDMETHODIMP CQvWMIClass::get_KeyProperties(IQvWMIPropertyCollection** ppProperties) {
    return CachedProperties(true, L"Class::get_KeyProperties", ppProperties);
}

STDMETHODIMP CQvWMIClass::get_Properties(IQvWMIPropertyCollection** ppProperties) {
    return CachedProperties(false, L"Class::get_Properties", ppProperties);
}

HRESULT CQvWMIClass::CachedProperties(bool keysOnly, const wchar_t* action, IQvWMIPropertyCollection** ppProperties) {
    if (!ppProperties) return ReportError(action, E_POINTER, IDS_ARG_NULL, L"ppProperties");
    *ppProperties = nullptr;
    CAutoLock guard(*this);
    ComPtr<IQvWMIPropertyCollection>& cache = keysOnly ? keyProperties_ : properties_;
    if (!cache) {
        const HRESULT hr = GetProperties(keysOnly, &cache);
        if (FAILED(hr)) return hr;
    }
    *ppProperties = cache.Get();
    (*ppProperties)->AddRef();
    return S_OK;
}

HRESULT CQvWMIClass::GetProperties(bool keysOnly, IQvWMIPropertyCollection** ppProperties) noexcept {
    static const wchar_t kAction[] = L"Class::GetProperties";
    com::UniqueBstr path;
    get_ObjectPath(path.put());
    const wchar_t* pathText = path ? path.get() : L"";

    wmi::Session session(StepTime(server_->Timeout()));
    SAFEARRAY* names = nullptr;
    HRESULT hr = session.GetNames(classDefinition_, keysOnly ? WBEM_FLAG_KEYS_ONLY : WBEM_FLAG_ALWAYS, &names);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_PROPERTIES_FAILED, pathText);
    std::vector<com::UniqueBstr> nameList;
    hr = CopyNames(names, &nameList);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_PROPERTIES_FAILED, pathText);

    InterfaceList<IQvWMIPropertyDescriptor> descriptors;
    for (const com::UniqueBstr& name : nameList) {
        IQvWMIPropertyDescriptor* descriptor = nullptr;
        hr = CQvWMIPropertyDescriptor::Create(session, name.get(), classDefinition_, &descriptor);
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_PROPERTIES_FAILED, pathText);
        if (!descriptors.Adopt(descriptor)) return ReportError(kAction, E_OUTOFMEMORY, IDS_QUERY_PROPERTIES_FAILED, pathText);
    }
    return CQvWMIPropertyCollection::Create(descriptors.data(), descriptors.size(), ppProperties);
}

STDMETHODIMP CQvWMIClass::get_Instances(VARIANT bstrWQLFilter, IQvWMIInstanceCollection** ppInstances) {
    static const wchar_t kAction[] = L"Class::get_Instances";
    VARIANT scratch;
    const VARIANT* filter = DereferenceArgument(&bstrWQLFilter, &scratch);
    const bool omitted = V_VT(filter) == VT_EMPTY || V_VT(filter) == VT_NULL || IsMissing(filter);
    if ((!omitted && V_VT(filter) != VT_BSTR) || HasEmbeddedNul(filter))
        return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, L"bstrWQLFilter");
    if (!ppInstances) return ReportError(kAction, E_POINTER, IDS_ARG_NULL, L"ppInstances");
    *ppInstances = nullptr;

    com::UniqueBstr path;
    get_ObjectPath(path.put());
    const wchar_t* classPath = path ? path.get() : L"";
    if (!omitted && V_BSTR(filter) && HasUnterminatedQuote(V_BSTR(filter), SysStringLen(V_BSTR(filter))))
        return ReportError(kAction, static_cast<HRESULT>(WBEM_E_INVALID_QUERY), IDS_QUERY_INSTANCES_FAILED, classPath);
    com::UniqueBstr statement;
    try {
        std::wstring text = L"SELECT * FROM ";
        text += classPath;
        if (!omitted && V_BSTR(filter) && SysStringLen(V_BSTR(filter)) > 0) {
            text += L" WHERE ";
            text.append(V_BSTR(filter), SysStringLen(V_BSTR(filter)));
        }
        statement.reset(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    } catch (const std::bad_alloc&) {
    }
    com::UniqueBstr language(SysAllocString(L"WQL"));
    if (!statement || !language)
        return ReportError(kAction, E_OUTOFMEMORY, IDS_QUERY_INSTANCES_FAILED, classPath);

    // The time-out bounds the whole pull, the wait for the lock included,
    // not each batch; the session holds the lock (where this WMI needs it)
    // for the whole pull.
    wmi::Session session(StepTime(server_->Timeout()));
    wmi::Ref<IEnumWbemClassObject> results;
    HRESULT hr = session.ExecQuery(services_, language.get(), statement.get(),
                                   WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, &results);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_INSTANCES_FAILED, classPath);
    hr = server_->ApplyProxySecurity(session, results);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_SET_SECURITY_FAILED);

    InterfaceList<IQvWMIInstance> instances;
    bool skipped = false;
    for (;;) {
        const LONG wait = session.RemainingWmiTimeout();
        if (wait == 0) return ReportWin32Error(kAction, ERROR_TIMEOUT, IDS_QUERY_INSTANCES_FAILED, classPath);
        wmi::Ref<IWbemClassObject> batch[kBatchSize];
        ULONG returned = 0;
        hr = session.Next(results, wait, kBatchSize, batch, &returned);
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_INSTANCES_FAILED, classPath);
        if (hr == WBEM_S_TIMEDOUT) return ReportWin32Error(kAction, ERROR_TIMEOUT, IDS_QUERY_INSTANCES_FAILED, classPath);
        bool outOfMemory = false;
        for (ULONG i = 0; i < returned; ++i) {
            IQvWMIInstance* instance = nullptr;
            // An object whose snapshot cannot be built is left out.
            if (!outOfMemory && SUCCEEDED(CQvWMIInstance::Create(session, path.get(), batch[i], &instance))) {
                outOfMemory = !instances.Adopt(instance);
            } else {
                skipped = true;
            }
            batch[i].Reset();
        }
        if (outOfMemory) return ReportError(kAction, E_OUTOFMEMORY, IDS_QUERY_INSTANCES_FAILED, classPath);
        if (hr != S_OK || returned < kBatchSize) break;
    }

    hr = CQvWMIInstanceCollection::Create(instances.data(), instances.size(), ppInstances);
    // The reports of skipped objects are not this call's result.
    if (SUCCEEDED(hr) && skipped) ClearErrorInfo();
    return hr;
}
