// The instance query: "SELECT * FROM <class> WHERE <filter>", run
// semi-synchronously and pulled in batches of 64 within the access object's
// time-out, each object turned into an instance snapshot. The class object's
// Instances and the server's own (which reads no class definition first)
// both run it.
#include <string>

#include "ErrorReporting.h"
#include "InterfaceList.h"
#include "QvWMIInstance.h"
#include "QvWMIInstanceCollection.h"
#include "QvWMIServer.h"
#include "VariantArgument.h"

namespace {

constexpr ULONG kBatchSize = 64;

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

STDMETHODIMP CQvWMIServer::Instances(BSTR bstrObjectPath, VARIANT bstrWQLFilter,
                                     IQvWMIInstanceCollection** ppInstances) {
    static const wchar_t kAction[] = L"Server::Instances";
    if (!bstrObjectPath || !*bstrObjectPath)
        return ReportError(kAction, E_INVALIDARG, IDS_ARG_NULL_OR_EMPTY, L"bstrObjectPath");
    if (HasEmbeddedNul(bstrObjectPath)) return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, L"bstrObjectPath");
    return QueryInstances(kAction, bstrObjectPath, bstrWQLFilter, ppInstances);
}

HRESULT CQvWMIServer::QueryInstances(const wchar_t* action, const wchar_t* classPath, VARIANT bstrWQLFilter,
                                     IQvWMIInstanceCollection** ppInstances) noexcept {
    VARIANT scratch;
    const VARIANT* filter = DereferenceArgument(&bstrWQLFilter, &scratch);
    const bool omitted = V_VT(filter) == VT_EMPTY || V_VT(filter) == VT_NULL || IsMissing(filter);
    if ((!omitted && V_VT(filter) != VT_BSTR) || HasEmbeddedNul(filter))
        return ReportError(action, E_INVALIDARG, IDS_ARG_INVALID, L"bstrWQLFilter");
    if (!ppInstances) return ReportError(action, E_POINTER, IDS_ARG_NULL, L"ppInstances");
    *ppInstances = nullptr;

    if (!omitted && V_BSTR(filter) && HasUnterminatedQuote(V_BSTR(filter), SysStringLen(V_BSTR(filter))))
        return ReportError(action, static_cast<HRESULT>(WBEM_E_INVALID_QUERY), IDS_QUERY_INSTANCES_FAILED, classPath);
    com::UniqueBstr path, statement;
    try {
        std::wstring text = L"SELECT * FROM ";
        text += classPath;
        if (!omitted && V_BSTR(filter) && SysStringLen(V_BSTR(filter)) > 0) {
            text += L" WHERE ";
            text.append(V_BSTR(filter), SysStringLen(V_BSTR(filter)));
        }
        statement.reset(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
        path.reset(SysAllocString(classPath));
    } catch (const std::bad_alloc&) {
    }
    com::UniqueBstr language(SysAllocString(L"WQL"));
    if (!statement || !path || !language)
        return ReportError(action, E_OUTOFMEMORY, IDS_QUERY_INSTANCES_FAILED, classPath);

    // The time-out bounds the whole pull, the wait for the lock included,
    // not each batch; the session holds the lock (where this WMI needs it)
    // for the whole pull.
    wmi::Session session(StepTime(Timeout()));
    wmi::Ref<IEnumWbemClassObject> results;
    HRESULT hr = session.ExecQuery(services_, language.get(), statement.get(),
                                   WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, &results);
    if (FAILED(hr)) return ReportError(action, hr, IDS_QUERY_INSTANCES_FAILED, classPath);
    hr = ApplyProxySecurity(session, results);
    if (FAILED(hr)) return ReportError(action, hr, IDS_SET_SECURITY_FAILED);

    InterfaceList<IQvWMIInstance> instances;
    bool skipped = false;
    for (;;) {
        const LONG wait = session.RemainingWmiTimeout();
        if (wait == 0) return ReportWin32Error(action, ERROR_TIMEOUT, IDS_QUERY_INSTANCES_FAILED, classPath);
        wmi::Ref<IWbemClassObject> batch[kBatchSize];
        ULONG returned = 0;
        hr = session.Next(results, wait, kBatchSize, batch, &returned);
        if (FAILED(hr)) return ReportError(action, hr, IDS_QUERY_INSTANCES_FAILED, classPath);
        if (hr == WBEM_S_TIMEDOUT) return ReportWin32Error(action, ERROR_TIMEOUT, IDS_QUERY_INSTANCES_FAILED, classPath);
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
        if (outOfMemory) return ReportError(action, E_OUTOFMEMORY, IDS_QUERY_INSTANCES_FAILED, classPath);
        if (hr != S_OK || returned < kBatchSize) break;
    }

    hr = CQvWMIInstanceCollection::Create(instances.data(), instances.size(), ppInstances);
    // The reports of skipped objects are not this call's result.
    if (SUCCEEDED(hr) && skipped) ClearErrorInfo();
    return hr;
}

HRESULT CQvWMIServer::QueryExtraInterface(REFIID riid, void** object) {
    *object = nullptr;
    if (IsEqualIID(riid, IID_IQvWMIServer)) *object = static_cast<IQvWMIServer*>(this);
    else if (IsEqualIID(riid, IID_IQvWMIServer2)) *object = static_cast<IQvWMIServer2*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}
