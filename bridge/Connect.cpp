// Connect: opens a WMI namespace within a time-out. WMI's ConnectServer can
// block for a long time when a computer does not answer, so it runs on a
// bounded worker (common/BoundedWork.h) and Connect waits for it no longer
// than the time-out.
#include <cwchar>
#include <new>
#include <string>

#include "../common/BoundedWork.h"
#include "../common/ComModule.h"
#include "../common/ConnectionAccount.h"
#include "../common/HResult.h"
#include "../common/Raii.h"
#include "ErrorReporting.h"
#include "QvWMIAccess.h"
#include "QvWMIServer.h"
#include "VariantArgument.h"

using com::ComPtr;

namespace {

// What Connect hands its worker, and what the worker hands back.
class ConnectRequest final : public com::BoundedWork {
public:
    wmi::Ref<IWbemLocator> locator;
    com::UniqueBstr path;
    com::UniqueBstr authority;
    com::UniqueBstr user;
    com::UniqueSecretBstr password;  // may outlive the call by minutes: wiped when freed
    com::UniqueBstr locale;
    // When Connect runs in the multithreaded apartment, which the worker
    // joins too, the services pointer is valid on both threads and is handed
    // over as it is; marshalling is needed only for a caller in another
    // apartment (and needs a registered proxy for the interface, which not
    // every WMI provides).
    bool sameApartment = false;
    ComPtr<IStream> stream;
    wmi::Ref<IWbemServices> services;

private:
    HRESULT Run() noexcept override {
        // Within what is left of Connect's wait, the lock included.
        wmi::Session session(RemainingMs());
        wmi::Ref<IWbemServices> connected;
        HRESULT hr = session.ConnectServer(locator, path.get(), user.get(), password.get(), locale.get(),
                                           authority.get(), &connected);
        locator.Reset();
        if (FAILED(hr)) return hr;
        if (sameApartment) {
            services = std::move(connected);
            return S_OK;
        }
        hr = session.Marshal(stream.Get(), connected);
        marshalled_ = SUCCEEDED(hr);
        serialised_ = connected.Serialised();
        return hr;
    }

    // Connect has given up: nobody will take the services, so release the
    // reference held by the hand-over or by the marshalled data.
    void Abandoned() noexcept override {
        services.Reset();
        if (marshalled_) {
            wmi::Session session(INFINITE);
            session.ReleaseMarshalData(stream.Get(), serialised_);
        }
    }

    bool marshalled_ = false;
    bool serialised_ = false;
};

// Runs ConnectServer on a worker and waits for it at most timeoutMs.
// target names the namespace and user for the worker's bound on abandoned
// connections.
HRESULT ConnectWithTimeout(ConnectRequest* request, DWORD timeoutMs, const wchar_t* target,
                           wmi::Ref<IWbemServices>* services) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    request->sameApartment = SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
    if (!request->sameApartment) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 1024);
        if (!block) return E_OUTOFMEMORY;
        const HRESULT hr = CreateStreamOnHGlobal(block, TRUE, &request->stream);
        if (FAILED(hr)) {
            GlobalFree(block);
            return hr;
        }
    }

    const bool serialised = request->locator.Serialised();
    wmi::Session session(timeoutMs);  // the unmarshalling takes the lock within the same time
    RETURN_IF_FAILED(request->Start(timeoutMs, false, target));
    if (request->sameApartment) {
        *services = std::move(request->services);
        return S_OK;
    }
    return session.Unmarshal(request->stream.Get(), serialised, services);
}

// Strips backslashes from the end and then from the start.
std::wstring StripBackslashes(const wchar_t* text, size_t length) {
    size_t begin = 0, end = length;
    while (end > begin && text[end - 1] == L'\\') --end;
    while (begin < end && text[begin] == L'\\') ++begin;
    return std::wstring(text + begin, end - begin);
}

// A non-null, non-empty VT_BSTR.
bool HasText(const VARIANT* value) { return V_VT(value) == VT_BSTR && V_BSTR(value) && SysStringLen(V_BSTR(value)); }

bool IsOptionalString(const VARIANT* value) {
    const VARTYPE type = V_VT(value);
    return type == VT_EMPTY || type == VT_NULL || type == VT_BSTR || IsMissing(value);
}

}  // namespace

STDMETHODIMP CQvWMIAccess::Connect(VARIANT bstrServer, VARIANT bstrNamespace, VARIANT bstrDomain,
                                   VARIANT bstrUserName, VARIANT bstrPassword, VARIANT bstrLocale,
                                   VARIANT lConnectionTimeout, IQvWMIServer** ppServer) {
    static const wchar_t kAction[] = L"Component::Connect";
    VARIANT scratch[7];
    const VARIANT* server = DereferenceArgument(&bstrServer, &scratch[0]);
    const VARIANT* nameSpace = DereferenceArgument(&bstrNamespace, &scratch[1]);
    const VARIANT* userName = DereferenceArgument(&bstrUserName, &scratch[2]);
    const VARIANT* domainArg = DereferenceArgument(&bstrDomain, &scratch[3]);
    const VARIANT* passwordArg = DereferenceArgument(&bstrPassword, &scratch[4]);
    const VARIANT* localeArg = DereferenceArgument(&bstrLocale, &scratch[5]);
    const VARIANT* timeoutArg = DereferenceArgument(&lConnectionTimeout, &scratch[6]);

    const struct {
        const VARIANT* value;
        const wchar_t* name;
    } strings[] = {{server, L"bstrServer"},       {nameSpace, L"bstrNamespace"}, {userName, L"bstrUserName"},
                   {domainArg, L"bstrDomain"},    {passwordArg, L"bstrPassword"}, {localeArg, L"bstrLocale"}};
    for (const auto& argument : strings)
        if (!IsOptionalString(argument.value) || HasEmbeddedNul(argument.value))
            return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, argument.name);
    const VARTYPE timeoutType = V_VT(timeoutArg);
    if (timeoutType != VT_EMPTY && timeoutType != VT_I4 && !IsMissing(timeoutArg))
        return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, L"lConnectionTimeout");
    if (!ppServer) return ReportError(kAction, E_POINTER, IDS_ARG_NULL, L"ppServer");
    *ppServer = nullptr;

    wmi::Ref<IWbemLocator> locator = Locator();
    if (!locator) return ReportError(kAction, E_FAIL, IDS_INVALID_STATE);

    const ConnectionSecurity security = Security();
    wmi::Ref<IWbemServices> services;
    // user and domain: the account as the blankets name it; userSent: the
    // user name ConnectServer gets.
    std::wstring serverName, namespaceName, networkPath, user, domain, userSent, authority, principal;
    bool hasUser = false, hasDomain = false;
    try {
        serverName = HasText(server) ? StripBackslashes(V_BSTR(server), SysStringLen(V_BSTR(server))) : L".";
        namespaceName =
            HasText(nameSpace) ? StripBackslashes(V_BSTR(nameSpace), SysStringLen(V_BSTR(nameSpace))) : L"cimv2";
        // A namespace written from the root ("root\cimv2", "root/cimv2",
        // "root") names the same place as one written below it ("cimv2").
        std::wstring pathBelowServer = L"\\root";
        if (_wcsnicmp(namespaceName.c_str(), L"root", 4) == 0 &&
            (namespaceName.size() == 4 || namespaceName[4] == L'\\' || namespaceName[4] == L'/')) {
            namespaceName.erase(0, namespaceName.size() == 4 ? 4 : 5);
            if (!namespaceName.empty()) pathBelowServer += L"\\" + namespaceName;
        } else {
            pathBelowServer += L"\\" + namespaceName;
        }
        networkPath = L"\\\\" + serverName + pathBelowServer;

        std::wstring givenUser, givenDomain;
        if (V_VT(userName) == VT_BSTR && V_BSTR(userName)) {
            hasUser = true;
            givenUser.assign(V_BSTR(userName), SysStringLen(V_BSTR(userName)));
        }
        if (HasText(domainArg)) givenDomain.assign(V_BSTR(domainArg), SysStringLen(V_BSTR(domainArg)));
        com::ConnectionAccount account =
            com::AccountOfConnection(serverName, givenUser, HasText(domainArg) ? &givenDomain : nullptr);
        com::ServiceAccount sent = com::AccountForService(
            serverName, givenUser, account, static_cast<com::AuthenticationService>(security.service));
        user = std::move(account.user);
        domain = std::move(account.domain);
        hasDomain = account.hasDomain;
        userSent = std::move(sent.user);
        authority = std::move(sent.authority);
        principal = std::move(sent.principal);
    } catch (const std::bad_alloc&) {
        return BareFailure(E_OUTOFMEMORY);
    }

    const wchar_t* password = V_VT(passwordArg) == VT_BSTR ? V_BSTR(passwordArg) : nullptr;
    const wchar_t* locale = V_VT(localeArg) == VT_BSTR ? V_BSTR(localeArg) : nullptr;
    long timeout = 0;
    {
        CAutoLock guard(*this);
        get_Timeout(&timeout);  // takes the same lock again: it nests
    }
    if (V_VT(timeoutArg) == VT_I4) timeout = V_I4(timeoutArg);

    // Failures of the connection itself come back bare: clear any older
    // description so it is not read as this call's.
    ClearErrorInfo();
    // Only -1 means "no limit"; any other negative time-out has run out.
    if (timeout < -1) return com::kTimeoutResult;
    auto copy = [](const wchar_t* text, size_t length, bool wanted, auto* target) {
        if (wanted) target->reset(SysAllocStringLen(text, static_cast<UINT>(length)));
        return !wanted || *target;
    };
    const UINT passwordLength = password ? SysStringLen(V_BSTR(passwordArg)) : 0;
    const UINT localeLength = locale ? SysStringLen(V_BSTR(localeArg)) : 0;
    HRESULT hr;
    if (timeout == -1) {
        com::UniqueBstr path, authorityText, userText, localeText;
        com::UniqueSecretBstr passwordText;
        if (!copy(networkPath.c_str(), networkPath.size(), true, &path) ||
            !copy(authority.c_str(), authority.size(), !authority.empty(), &authorityText) ||
            !copy(userSent.c_str(), userSent.size(), hasUser, &userText) ||
            !copy(password, passwordLength, password != nullptr, &passwordText) ||
            !copy(locale, localeLength, locale != nullptr, &localeText))
            return E_OUTOFMEMORY;
        // No limit asked for: the lock is waited for without one too.
        wmi::Session session(INFINITE);
        hr = session.ConnectServer(locator, path.get(), userText.get(), passwordText.get(), localeText.get(),
                                   authorityText.get(), &services);
        if (FAILED(hr)) return hr;
    } else {
        auto* request = new (std::nothrow) ConnectRequest;
        if (!request) return E_OUTOFMEMORY;
        request->locator = locator;
        // An NTLM domain reaches the worker only together with a user name;
        // Kerberos's principal always.
        const bool sendAuthority =
            !authority.empty() && (hasUser || security.service == QV_WMI_AUTHENTICATION_SERVICE_KERBEROS);
        const bool complete = copy(networkPath.c_str(), networkPath.size(), true, &request->path) &&
                              copy(authority.c_str(), authority.size(), sendAuthority, &request->authority) &&
                              copy(userSent.c_str(), userSent.size(), hasUser, &request->user) &&
                              copy(password, passwordLength, password != nullptr, &request->password) &&
                              copy(locale, localeLength, locale != nullptr, &request->locale);
        std::wstring target;
        try {
            target = WmiTarget(networkPath.c_str(), hasUser ? user.c_str() : nullptr);
        } catch (const std::bad_alloc&) {
            request->Release();
            return BareFailure(E_OUTOFMEMORY);
        }
        hr = complete ? ConnectWithTimeout(request, static_cast<DWORD>(timeout), target.c_str(), &services)
                      : E_OUTOFMEMORY;
        // A refusal is the bridge's own: reported with what stood in the way.
        hr = ReportRefusal(kAction, hr, *request);
        request->Release();
        if (FAILED(hr)) return hr;
    }

    return CQvWMIServer::Create(this, services, serverName.c_str(), namespaceName.c_str(), networkPath.c_str(),
                                hasDomain ? domain.c_str() : nullptr, hasUser ? user.c_str() : nullptr, password,
                                locale, security, principal.empty() ? nullptr : principal.c_str(), ppServer);
}
