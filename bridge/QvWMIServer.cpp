#include "QvWMIServer.h"

#include <wincrypt.h>

#include <new>
#include <string>

#include "ErrorReporting.h"
#include "QvWMIAccess.h"
#include "QvWMIClass.h"

using com::ComPtr;

CQvWMIServer::~CQvWMIServer() {
    if (!protectedPassword_.empty()) com::SecureZero(protectedPassword_.data(), protectedPassword_.size());
}

HRESULT CQvWMIServer::Create(IQvWMIAccess* access, IWbemServices* services, const wchar_t* server,
                             const wchar_t* nameSpace, const wchar_t* networkPath, const wchar_t* domain,
                             const wchar_t* user, const wchar_t* password, const wchar_t* locale,
                             IQvWMIServer** ppServer) noexcept {
    static const wchar_t kAction[] = L"Server::Create";
    const wchar_t* name = server ? server : L"Server";
    *ppServer = nullptr;
    ComPtr<CQvWMIServer> object = Make();
    if (!object) return ReportError(kAction, E_OUTOFMEMORY, IDS_GET_OBJECT_FAILED, name);

    HRESULT hr = services->QueryInterface(IID_IWbemServices, &object->services_);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, name);
    object->access_ = access;

    struct Field {
        com::UniqueBstr* target;
        const wchar_t* value;
    } fields[] = {{&object->server_, server}, {&object->namespace_, nameSpace}, {&object->networkPath_, networkPath},
                  {&object->domain_, domain}, {&object->user_, user},           {&object->locale_, locale}};
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
            return ReportWin32Error(kAction, static_cast<long>(GetLastError()), IDS_SET_SECURITY_FAILED);
        com::UniqueLocalMem owner(sealed.pbData);
        try {
            object->protectedPassword_.assign(sealed.pbData, sealed.pbData + sealed.cbData);
        } catch (const std::bad_alloc&) {
            return ReportError(kAction, E_OUTOFMEMORY, IDS_GET_OBJECT_FAILED, name);
        }
    }

    hr = object->ApplyProxySecurity(object->services_.Get());
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_SET_SECURITY_FAILED);

    hr = object->QueryInterface(IID_IQvWMIServer, reinterpret_cast<void**>(ppServer));
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, name);
    return S_OK;
}

HRESULT CQvWMIServer::ApplyProxySecurity(IUnknown* proxy) noexcept {
    COAUTHIDENTITY identity = {};
    std::wstring user, domain, password;
    try {
        if (user_) {
            user.assign(user_.get(), SysStringLen(user_.get()));
            if (domain_) domain.assign(domain_.get(), SysStringLen(domain_.get()));
            if (!protectedPassword_.empty()) {
                DATA_BLOB sealed = {static_cast<DWORD>(protectedPassword_.size()),
                                    const_cast<BYTE*>(protectedPassword_.data())};
                DATA_BLOB clear = {};
                if (!CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                                        &clear))
                    return ReportWin32Error(L"Server::ApplyProxySecurity", static_cast<long>(GetLastError()),
                                            IDS_SET_SECURITY_FAILED);
                const size_t characters = clear.cbData / sizeof(wchar_t);
                if (characters > 0) password.assign(reinterpret_cast<wchar_t*>(clear.pbData), characters - 1);
                com::SecureZero(clear.pbData, clear.cbData);
                LocalFree(clear.pbData);
            }
        }
    } catch (const std::bad_alloc&) {
        com::SecureZero(&password[0], password.size() * sizeof(wchar_t));
        return E_OUTOFMEMORY;
    }
    if (user_) {
        identity.User = reinterpret_cast<USHORT*>(&user[0]);
        identity.UserLength = static_cast<ULONG>(user.size());
        identity.Domain = reinterpret_cast<USHORT*>(&domain[0]);
        identity.DomainLength = static_cast<ULONG>(domain.size());
        identity.Password = reinterpret_cast<USHORT*>(&password[0]);
        identity.PasswordLength = static_cast<ULONG>(password.size());
        identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    }
    const HRESULT hr = CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                         static_cast<DWORD>(ProcessAuthenticationLevel()),
                                         static_cast<DWORD>(ProcessImpersonationLevel()),
                                         user_ ? &identity : nullptr, EOAC_NONE);
    com::SecureZero(&password[0], password.size() * sizeof(wchar_t));
    return hr;
}

long CQvWMIServer::Timeout() noexcept {
    long timeout = 0;
    access_->get_Timeout(&timeout);
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

STDMETHODIMP CQvWMIServer::GetClass(BSTR bstrObjectPath, IQvWMIClass** ppClass) {
    static const wchar_t kAction[] = L"Server::GetClass";
    if (!bstrObjectPath || !*bstrObjectPath)
        return ReportError(kAction, E_INVALIDARG, IDS_ARG_NULL_OR_EMPTY, L"bstrObjectPath");
    if (!ppClass) return ReportError(kAction, E_POINTER, IDS_ARG_NULL, L"ppClass");
    *ppClass = nullptr;

    const long timeout = Timeout();
    ComPtr<IWbemClassObject> definition;
    ComPtr<IWbemCallResult> callResult;
    HRESULT hr = services_->GetObject(bstrObjectPath, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, nullptr, &callResult);
    if (hr == static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER) || hr == static_cast<HRESULT>(WBEM_E_NOT_SUPPORTED) ||
        hr == E_NOTIMPL) {
        // Some WMI implementations (Wine's among them) refuse the
        // semi-synchronous lookup; the synchronous one gives the same class.
        hr = services_->GetObject(bstrObjectPath, 0, nullptr, &definition, nullptr);
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, bstrObjectPath);
    } else {
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, bstrObjectPath);
        hr = ApplyProxySecurity(callResult.Get());
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_SET_SECURITY_FAILED);
        hr = callResult->GetResultObject(timeout, &definition);
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_GET_OBJECT_FAILED, bstrObjectPath);
        if (hr == WBEM_S_TIMEDOUT)
            return ReportWin32Error(kAction, ERROR_TIMEOUT, IDS_GET_OBJECT_FAILED, bstrObjectPath);
        if (hr != S_OK) return ReportWin32Error(kAction, hr, IDS_GET_OBJECT_FAILED, bstrObjectPath);
    }
    return CQvWMIClass::Create(this, services_.Get(), definition.Get(), bstrObjectPath, ppClass);
}
