#include "PluginCheck.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cmath>

#include "../common/Raii.h"
#include "BridgeSource.h"
#include "Check.h"
#include "CommandLine.h"
#include "Console.h"
#include "Utf.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;

Deadline::Deadline(double seconds) noexcept : endMs_(static_cast<ULONGLONG>(std::llround(seconds * 1000))) {}

long Deadline::LeftMs() const noexcept {
    const ULONGLONG now = MsSinceStart();
    return now < endMs_ ? static_cast<long>(std::min<ULONGLONG>(endMs_ - now, 0x7FFFFFFF)) : 0;
}

std::wstring SecondsText(double seconds) { return Wide(FormatNumber(std::round(seconds * 100) / 100)) + L" s"; }

const wchar_t kBridgeLacksAuth[] = L"the bridge does not offer --auth; update qvWMI";

namespace {

constexpr HRESULT kTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// The computer as a sentence names it.
std::wstring Computer(const std::wstring& host) { return host == L"." ? L"this computer" : host; }

}  // namespace

std::wstring AuthenticatedWith(IQvWMIServer* server) {
    ComPtr<IQvWMIServer3> telling;
    long service = 0;
    if (FAILED(server->QueryInterface(IID_PPV_ARGS(&telling))) || FAILED(telling->get_AuthenticationService(&service)))
        return L"";
    switch (service) {
    case 9: return L", authenticated with Negotiate";
    case 10: return L", authenticated with NTLM";
    case 16: return L", authenticated with Kerberos";
    default: return L", authentication service " + std::to_wstring(service);
    }
}

std::wstring QueryAdvice(HRESULT hr, const RunnerOptions& options, const std::wstring& host, long stepMs) {
    // A namespace that requires privacy refuses every call made at a lower level.
    if (hr == static_cast<HRESULT>(0x80041003) && options.authLevel < 6)
        return L"access denied on " + Computer(host) + L": " + Wide(options.nameSpace) +
               L" may require privacy: use --auth-level 6; otherwise the account needs the remote WMI rights there";
    if (hr != kTimedOut) return L"";
    return L"WMI on " + Computer(host) + L" did not answer within the " + SecondsText(stepMs / 1000.0) +
           L" left of the time-out: it may be overloaded; give a longer --timeout";
}

std::wstring ConnectAdvice(HRESULT hr, const RunnerOptions& options, const std::wstring& host, Auth auth,
                           const ReachingAccount& account, long stepMs) {
    const std::wstring who = account.Who();
    switch (static_cast<unsigned long>(hr)) {
    case 0x80070005:  // E_ACCESSDENIED, from DCOM
    case 0x80041003: {  // WBEM_E_ACCESS_DENIED, from the namespace
        std::wstring first;
        if (auth == Auth::Ntlm && options.authGiven)
            first = L" over NTLM: the domain may restrict NTLM or the account may be in Protected Users: try --auth "
                    L"negotiate or --auth kerberos; otherwise";
        else if (hr == static_cast<HRESULT>(0x80041003) && options.authLevel < 6)
            first = L": " + Wide(options.nameSpace) + L" may require privacy: use --auth-level 6; otherwise";
        return L"access denied to " + who + L" on " + host + first + L": the account needs the remote WMI rights "
               L"on " + Wide(options.nameSpace) + L" (Enable Account, Remote Enable) and DCOM remote activation (for "
               L"example as a member of Distributed COM Users); a local account also needs remote UAC to let it "
               L"in (LocalAccountTokenFilterPolicy = 1)" +
               (!options.user.empty() && options.domain.empty() && options.user.find('@') == std::string::npos &&
                        options.user.find_first_of("\\/") == std::string::npos
                    ? L"; a user name without a domain is " + host + L"'s own account: write a domain "
                      L"account as DOMAIN\\user, user@domain or with --domain"
                    : L"");
    }
    case 0x80090303:  // SEC_E_TARGET_UNKNOWN: no Kerberos principal for the target
        if (IsIpAddress(Utf8(host)))
            return L"Kerberos cannot authenticate to an IP address: give the computer's DNS name, or --auth negotiate";
        return L"Kerberos does not know " + host + L": give the computer's DNS name as its domain knows it, or "
               L"--auth negotiate";
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
        return host + L" did not answer (RPC server unavailable): check the host's name or address, that "
               L"it is up, and that its firewall allows Windows Management Instrumentation (WMI-In)";
    case 0x800705B4:  // ERROR_TIMEOUT, from the bridge's bound
        return Computer(host) + L" did not connect within the " + SecondsText(stepMs / 1000.0) + L" left of the time-out: "
               L"check that it is up and that WMI there answers, or give a longer --timeout";
    case 0x80041064:  // WBEM_E_LOCAL_CREDENTIALS
        return L"WMI takes no credentials for the local computer (" + host + L"): leave --user out for it";
    case 0x8004100E:  // WBEM_E_INVALID_NAMESPACE
        return host + L" has no namespace " + Wide(options.nameSpace) + L": check --namespace";
    case 0x80041008:  // WBEM_E_INVALID_PARAMETER
        if (!account.name.empty())
            return L"WMI refused the account as given (" + who + L"): write it as DOMAIN\\user, user@domain, or "
                   L"user with --domain";
        return L"";
    default:
        return L"";
    }
}

HRESULT SetUpAccess(IQvWMIAccess* access, const RunnerOptions& options, Auth* used) {
    *used = Auth::Ntlm;
    ComPtr<IQvWMIAccess2> choosing;
    if (FAILED(access->QueryInterface(IID_PPV_ARGS(&choosing)))) {
        // An older bridge connects with NTLM only.
        if (options.authGiven) return E_NOINTERFACE;
    } else {
        const EQvWMIAuthenticationService service =
            options.auth == Auth::Kerberos ? QV_WMI_AUTHENTICATION_SERVICE_KERBEROS
            : options.auth == Auth::Ntlm   ? QV_WMI_AUTHENTICATION_SERVICE_NTLM
                                           : QV_WMI_AUTHENTICATION_SERVICE_NEGOTIATE;
        const HRESULT hr = choosing->put_AuthenticationService(service);
        if (FAILED(hr)) return hr;
        *used = options.auth;
    }
    HRESULT hr = access->put_Timeout(static_cast<long>(std::lround(options.timeoutSeconds * 1000)));
    if (SUCCEEDED(hr)) hr = access->put_AuthenticationLevel(static_cast<EQvWMIAuthenticationLevel>(options.authLevel));
    if (SUCCEEDED(hr)) hr = access->put_ImpersonationLevel(static_cast<EQvWMIImpersonationLevel>(options.impLevel));
    if (SUCCEEDED(hr)) hr = access->Initialize();
    return hr;
}

std::wstring DescribeFailure(HRESULT hr) {
    std::wstring text;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        com::UniqueBstr description;
        if (SUCCEEDED(info->GetDescription(description.put())) && description)
            text.assign(description.get(), SysStringLen(description.get()));
    }
    if (text.empty()) {
        wchar_t* buffer = nullptr;
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr) &&
            buffer)
            text = buffer;
        LocalFree(buffer);
    }
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return std::wstring(code) + L" " + text;
}

PluginResult RunPluginCheck(const RunnerOptions& options) {
    BridgeSource source(options);
    return RunCheck(options, source);
}
