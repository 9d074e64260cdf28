#include "QvWMIAccess.h"

#include <atomic>
#include <utility>

#include "ErrorReporting.h"

namespace {
// Shared by every access object of the process; 0 (default) at load.
std::atomic<LONG> g_authenticationLevel{0};
std::atomic<LONG> g_impersonationLevel{0};
}  // namespace

CQvWMIAccess::CQvWMIAccess() noexcept
    : authenticationLevel_(g_authenticationLevel.load()), impersonationLevel_(g_impersonationLevel.load()) {}

STDMETHODIMP CQvWMIAccess::get_Timeout(long* plTimeout) {
    if (!plTimeout) return ReportError(L"Component::get_Timeout", E_POINTER, IDS_ARG_NULL, L"plTimeout");
    CAutoLock guard(*this);
    *plTimeout = timeout_;
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::put_Timeout(long lTimeout) {
    CAutoLock guard(*this);
    timeout_ = lTimeout;
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::get_ImpersonationLevel(EQvWMIImpersonationLevel* peImpersonationLevel) {
    if (!peImpersonationLevel) return BareFailure(E_POINTER);
    CAutoLock guard(*this);
    *peImpersonationLevel = static_cast<EQvWMIImpersonationLevel>(g_impersonationLevel.load());
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::put_ImpersonationLevel(EQvWMIImpersonationLevel eImpersonationLevel) {
    CAutoLock guard(*this);
    impersonationLevel_ = eImpersonationLevel;
    g_impersonationLevel.store(eImpersonationLevel);
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::get_AuthenticationLevel(EQvWMIAuthenticationLevel* peAuthenticationLevel) {
    if (!peAuthenticationLevel) return BareFailure(E_POINTER);
    CAutoLock guard(*this);
    *peAuthenticationLevel = static_cast<EQvWMIAuthenticationLevel>(g_authenticationLevel.load());
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::put_AuthenticationLevel(EQvWMIAuthenticationLevel eAuthenticationLevel) {
    CAutoLock guard(*this);
    authenticationLevel_ = eAuthenticationLevel;
    g_authenticationLevel.store(eAuthenticationLevel);
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::Initialize() {
    const HRESULT security =
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, static_cast<DWORD>(g_authenticationLevel.load()),
                             static_cast<DWORD>(g_impersonationLevel.load()), nullptr, EOAC_NONE, nullptr);
    // Security already set up in this process: the levels then govern only
    // the proxies, which is fine.
    if (FAILED(security) && security != RPC_E_TOO_LATE)
        return ReportError(L"Component::Initialize", security, IDS_SET_SECURITY_FAILED);

    IWbemLocator* createdLocator = nullptr;
    const HRESULT created =
        CoCreateInstance(CLSID_WbemLocator, nullptr,
                         CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                         IID_IWbemLocator, reinterpret_cast<void**>(&createdLocator));
    wmi::Ref<IWbemLocator> locator(createdLocator, wmi::Serialised(createdLocator));
    // Swapped in under the object's lock; the replaced locator is released
    // when this scope ends, under its own WMI's rule. A Connect still using
    // it holds its own reference.
    {
        CAutoLock guard(*this);
        std::swap(locator_, locator);
    }
    if (FAILED(created)) return ReportError(L"Component::Initialize", created, IDS_CREATE_LOCATOR_FAILED);
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::get_AuthenticationService(EQvWMIAuthenticationService* peService) {
    if (!peService) return ReportError(L"Component::get_AuthenticationService", E_POINTER, IDS_ARG_NULL, L"peService");
    CAutoLock guard(*this);
    *peService = service_;
    return S_OK;
}

STDMETHODIMP CQvWMIAccess::put_AuthenticationService(EQvWMIAuthenticationService eService) {
    if (eService < QV_WMI_AUTHENTICATION_SERVICE_NTLM || eService > QV_WMI_AUTHENTICATION_SERVICE_KERBEROS)
        return ReportError(L"Component::put_AuthenticationService", E_INVALIDARG, IDS_ARG_INVALID, L"eService");
    CAutoLock guard(*this);
    service_ = eService;
    return S_OK;
}

CQvWMIAccess::~CQvWMIAccess() = default;

HRESULT CQvWMIAccess::QueryExtraInterface(REFIID riid, void** object) {
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IQvWMIAccess)) return E_NOINTERFACE;
    *object = static_cast<IQvWMIAccess*>(this);
    AddRef();
    return S_OK;
}

ConnectionSecurity CQvWMIAccess::Security() noexcept {
    CAutoLock guard(*this);
    return {service_, static_cast<DWORD>(authenticationLevel_), static_cast<DWORD>(impersonationLevel_)};
}

wmi::Ref<IWbemLocator> CQvWMIAccess::Locator() noexcept {
    CAutoLock guard(*this);
    return locator_;
}
