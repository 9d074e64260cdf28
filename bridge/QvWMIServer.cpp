#include "QvWMIServer.h"

#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "../common/BoundedWork.h"
#include "../common/HResult.h"
#include "ErrorReporting.h"
#include "QvWMIAccess.h"
#include "QvWMIClass.h"
#include "VariantArgument.h"

using com::ComPtr;

CQvWMIServer::~CQvWMIServer() {
    if (!protectedPassword_.empty()) com::SecureZero(protectedPassword_.data(), protectedPassword_.size());
}

std::wstring WmiTarget(const wchar_t* networkPath, const wchar_t* user) {
    std::wstring target = networkPath ? networkPath : L"";
    if (user) target += std::wstring(L" as ") + user;
    return target;
}

HRESULT CQvWMIServer::Create(IQvWMIAccess* access, const wmi::Ref<IWbemServices>& services, const wchar_t* server,
                             const wchar_t* nameSpace, const wchar_t* networkPath, const wchar_t* domain,
                             const wchar_t* user, const wchar_t* password, const wchar_t* locale,
                             const ConnectionSecurity& security, const wchar_t* principal,
                             IQvWMIServer** ppServer) noexcept {
    static const wchar_t kAction[] = L"Server::Create";
    const wchar_t* name = server ? server : L"Server";
    *ppServer = nullptr;
    ComPtr<CQvWMIServer> object = Make();
    if (!object) return ReportError(kAction, E_OUTOFMEMORY, IDS_GET_OBJECT_FAILED, name);

    // Within the access object's time-out, the wait for the lock included.
    wmi::Session session(StepTime(object->TimeoutOf(access)));
    HRESULT hr = session.As(services, &object->services_);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, name);
    object->access_ = access;
    object->security_ = security;

    struct Field {
        com::UniqueBstr* target;
        const wchar_t* value;
    } fields[] = {{&object->server_, server}, {&object->namespace_, nameSpace}, {&object->networkPath_, networkPath},
                  {&object->domain_, domain}, {&object->user_, user},           {&object->locale_, locale},
                  {&object->principal_, principal}};
    for (Field& field : fields) {
        hr = com::CopyBstr(field.value, field.target->put());
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, name);
    }

    if (password) {
        // The password is kept only in the form the data-protection service
        // gives back, and unprotected for each use.
        DATA_BLOB clear = {static_cast<DWORD>((wcslen(password) + 1) * sizeof(wchar_t)),
                           reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password))};
        DATA_BLOB sealed = {};
        if (!CryptProtectData(&clear, L"Data", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed))
            return ReportError(kAction, com::HResultFromLastError(), IDS_SET_SECURITY_FAILED);
        com::UniqueLocalMem owner(sealed.pbData);
        try {
            object->protectedPassword_.assign(sealed.pbData, sealed.pbData + sealed.cbData);
        } catch (const std::bad_alloc&) {
            return ReportError(kAction, E_OUTOFMEMORY, IDS_GET_OBJECT_FAILED, name);
        }
    }

    hr = object->ApplyProxySecurity(session, object->services_);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_SET_SECURITY_FAILED);

    hr = object->QueryInterface(IID_IQvWMIServer, reinterpret_cast<void**>(ppServer));
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, name);
    return S_OK;
}

HRESULT CQvWMIServer::ApplyProxySecurity(wmi::Session& session, wmi::AnyRef proxy) noexcept {
    // The password is unprotected into a buffer of the system's and used
    // from there: no other copy of it is made, and the buffer is wiped.
    DATA_BLOB clear = {};
    struct Wipe {
        DATA_BLOB& blob;
        ~Wipe() {
            if (!blob.pbData) return;
            com::SecureZero(blob.pbData, blob.cbData);
            LocalFree(blob.pbData);
        }
    } wipe{clear};
    COAUTHIDENTITY identity = {};
    if (user_) {
        if (!protectedPassword_.empty()) {
            DATA_BLOB sealed = {static_cast<DWORD>(protectedPassword_.size()), protectedPassword_.data()};
            if (!CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &clear))
                return ReportError(L"Server::ApplyProxySecurity", com::HResultFromLastError(), IDS_SET_SECURITY_FAILED);
        }
        static wchar_t empty[] = L"";
        const size_t characters = clear.cbData / sizeof(wchar_t);  // with the closing zero
        identity.User = reinterpret_cast<USHORT*>(user_.get());
        identity.UserLength = SysStringLen(user_.get());
        identity.Domain = reinterpret_cast<USHORT*>(domain_ ? domain_.get() : empty);
        identity.DomainLength = SysStringLen(domain_.get());
        identity.Password = reinterpret_cast<USHORT*>(characters ? reinterpret_cast<wchar_t*>(clear.pbData) : empty);
        identity.PasswordLength = characters ? static_cast<ULONG>(characters - 1) : 0;
        identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    }
    // NTLM names no principal; negotiate lets DCOM choose the service and
    // principal; Kerberos names the server (DCOM chooses where none is known).
    DWORD service = RPC_C_AUTHN_WINNT;
    const wchar_t* principal = nullptr;
    if (security_.service == QV_WMI_AUTHENTICATION_SERVICE_NEGOTIATE) {
        service = RPC_C_AUTHN_DEFAULT;
        principal = COLE_DEFAULT_PRINCIPAL;
    } else if (security_.service == QV_WMI_AUTHENTICATION_SERVICE_KERBEROS) {
        service = RPC_C_AUTHN_GSS_KERBEROS;
        principal = principal_ ? principal_.get() : COLE_DEFAULT_PRINCIPAL;
    }
    const wmi::Blanket blanket = {service, principal, security_.authenticationLevel, security_.impersonationLevel,
                                  user_ ? &identity : nullptr};
    return session.SetBlanket(proxy, blanket);
}

STDMETHODIMP CQvWMIServer::get_AuthenticationService(long* plService) {
    static const wchar_t kAction[] = L"Server::get_AuthenticationService";
    if (!plService) return ReportError(kAction, E_POINTER, IDS_ARG_NULL, L"plService");
    wmi::Session session(StepTime(Timeout()));
    DWORD service = 0;
    const HRESULT hr = session.QueryAuthenticationService(services_, &service);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_SET_SECURITY_FAILED);
    *plService = static_cast<long>(service);
    return S_OK;
}

long CQvWMIServer::Timeout() noexcept { return TimeoutOf(access_.Get()); }

long CQvWMIServer::TimeoutOf(IQvWMIAccess* access) noexcept {
    long timeout = 0;
    access->get_Timeout(&timeout);
    return timeout;
}

HRESULT CQvWMIServer::CopyField(const com::UniqueBstr& field, BSTR* out, const wchar_t* action,
                                const wchar_t* argument) {
    if (!out) return ReportError(action, E_POINTER, IDS_ARG_NULL, argument);
    CAutoLock guard(*this);
    return com::CopyBstr(field.get(), out);
}

STDMETHODIMP CQvWMIServer::get_Server(BSTR* pbstrServer) {
    return CopyField(server_, pbstrServer, L"Server::get_Server", L"pbstrServer");
}
STDMETHODIMP CQvWMIServer::get_Namespace(BSTR* pbstrNamespace) {
    return CopyField(namespace_, pbstrNamespace, L"Server::get_Namespace", L"pbstrNamespace");
}
STDMETHODIMP CQvWMIServer::get_NetworkPath(BSTR* pbstrNetworkPath) {
    return CopyField(networkPath_, pbstrNetworkPath, L"Server::get_NetworkPath", L"pbstrNetworkPath");
}
STDMETHODIMP CQvWMIServer::get_Domain(BSTR* pbstrDomain) {
    return CopyField(domain_, pbstrDomain, L"Server::get_Domain", L"pbstrDomain");
}
STDMETHODIMP CQvWMIServer::get_User(BSTR* pbstrUser) {
    return CopyField(user_, pbstrUser, L"Server::get_User", L"pbstrUser");
}
STDMETHODIMP CQvWMIServer::get_Locale(BSTR* pbstrLocale) {
    return CopyField(locale_, pbstrLocale, L"Server::get_Locale", L"pbstrLocale");
}

namespace {

// Set once a WMI of this process has refused the semi-synchronous class
// lookup. Wine's refuses it only after running the class's whole query, so
// asking again on every GetClass would pay for the class twice.
std::atomic<bool> g_semiSynchronousRefused{false};

bool IsRefusal(HRESULT hr) {
    return hr == static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER) || hr == static_cast<HRESULT>(WBEM_E_NOT_SUPPORTED) ||
           hr == E_NOTIMPL;
}

// The synchronous class lookup, on a bounded worker: the call itself has no
// time limit.
class ClassFetch final : public com::BoundedWork {
public:
    wmi::Ref<IWbemServices> services;
    com::UniqueBstr path;
    wmi::Ref<IWbemClassObject> definition;

private:
    HRESULT Run() noexcept override {
        wmi::Session session(RemainingMs());
        return session.GetObject(services, path.get(), 0, &definition, nullptr);
    }
};

// Reports its failures, a refusal with what stood in the way.
HRESULT FetchClassSynchronously(const wmi::Ref<IWbemServices>& services, BSTR path, long timeout,
                                const wchar_t* target, wmi::Ref<IWbemClassObject>* definition) noexcept {
    static const wchar_t kAction[] = L"Server::GetClass";
    HRESULT hr;
    if (timeout == -1) {
        wmi::Session session(INFINITE);
        hr = session.GetObject(services, path, 0, definition, nullptr);
    } else {
        auto* fetch = new (std::nothrow) ClassFetch;
        if (!fetch) return ReportError(kAction, E_OUTOFMEMORY, IDS_GET_OBJECT_FAILED, path);
        fetch->services = services;
        fetch->path.reset(SysAllocStringLen(path, SysStringLen(path)));
        hr = fetch->path ? fetch->Start(StepTime(timeout), false, target) : E_OUTOFMEMORY;
        const bool refused = fetch->Refused() != com::BoundedWork::Refusal::kNone;
        if (refused) hr = ReportRefusal(kAction, hr, *fetch);
        else if (SUCCEEDED(hr)) *definition = std::move(fetch->definition);
        fetch->Release();
        if (refused) return hr;
    }
    return FAILED(hr) ? ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, path) : hr;
}

}  // namespace

STDMETHODIMP CQvWMIServer::GetClass(BSTR bstrObjectPath, IQvWMIClass** ppClass) {
    static const wchar_t kAction[] = L"Server::GetClass";
    if (!bstrObjectPath || !*bstrObjectPath)
        return ReportError(kAction, E_INVALIDARG, IDS_ARG_NULL_OR_EMPTY, L"bstrObjectPath");
    if (HasEmbeddedNul(bstrObjectPath)) return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, L"bstrObjectPath");
    if (!ppClass) return ReportError(kAction, E_POINTER, IDS_ARG_NULL, L"ppClass");
    *ppClass = nullptr;

    const long timeout = Timeout();
    wmi::Ref<IWbemClassObject> definition;
    HRESULT hr = S_OK;
    if (!g_semiSynchronousRefused.load()) {
        wmi::Session session(StepTime(timeout));
        wmi::Ref<IWbemCallResult> callResult;
        hr = session.GetObject(services_, bstrObjectPath, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &callResult);
        if (IsRefusal(hr)) {
            g_semiSynchronousRefused = true;
        } else {
            if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, bstrObjectPath);
            hr = ApplyProxySecurity(session, callResult);
            if (FAILED(hr)) return ReportError(kAction, hr, IDS_SET_SECURITY_FAILED);
            // What the wait for the lock left of the time-out.
            long remaining = timeout;
            if (timeout > 0) remaining = std::max(0L, timeout - static_cast<long>(session.WaitedMs()));
            hr = session.GetResultObject(callResult, remaining, &definition);
            if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, bstrObjectPath);
            if (hr == WBEM_S_TIMEDOUT)
                return ReportWin32Error(kAction, ERROR_TIMEOUT, IDS_GET_OBJECT_FAILED, bstrObjectPath);
            // Another success code without a class is no success.
            if (!definition)
                return ReportError(kAction, static_cast<HRESULT>(WBEM_E_FAILED), IDS_GET_OBJECT_FAILED, bstrObjectPath);
        }
    }
    if (!definition) {
        // Not within a session of this thread's: the worker makes the call.
        std::wstring target;
        try {
            target = WmiTarget(networkPath_.get(), user_.get());
        } catch (const std::bad_alloc&) {
            return ReportError(kAction, E_OUTOFMEMORY, IDS_GET_OBJECT_FAILED, bstrObjectPath);
        }
        RETURN_IF_FAILED(FetchClassSynchronously(services_, bstrObjectPath, timeout, target.c_str(), &definition));
    }
    return CQvWMIClass::Create(this, definition, bstrObjectPath, ppClass);
}
