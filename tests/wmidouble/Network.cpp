#include "Network.h"

#include <wbemidl.h>

#include "../../common/HResult.h"


namespace network {
namespace {

// The domain CORP (DNS name corp.example) and its accounts: the monitoring
// account, and one in Protected Users (NTLM refused, Kerberos only).
const wchar_t kDomain[] = L"CORP";
const wchar_t kDomainDns[] = L"corp.example";
const struct DomainAccount {
    const wchar_t* user;
    const wchar_t* password;
    bool protectedUser;
} kDomainAccounts[] = {{L"monitor", L"M0nitor!", false}, {L"protmon", L"Pr0tected!", true}};
// Each member computer's local account.
const wchar_t kLocalUser[] = L"localmon";
const wchar_t kLocalPassword[] = L"L0calmon!";

// The member computers, by NetBIOS name (their DNS names end in
// ".corp.example"), and whether the computer's policy refuses NTLM.
const struct Member {
    const wchar_t* name;
    bool refusesNtlm;
} kMembers[] = {{L"APP01", false}, {L"APP02", false}, {L"HARD01", true}};
// APP01 named by its IP address: no Kerberos principal has that name.
const wchar_t kApp01Address[] = L"192.0.2.21";

bool Same(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool IsAddress(const std::wstring& server) { return Same(server, kApp01Address); }

// "app01.corp.example" and 192.0.2.21 as "APP01"; other names as they are.
std::wstring NetBiosName(const std::wstring& server) {
    if (IsAddress(server)) return L"APP01";
    const std::wstring suffix = std::wstring(L".") + kDomainDns;
    if (server.size() > suffix.size() && Same(server.substr(server.size() - suffix.size()), suffix))
        return server.substr(0, server.size() - suffix.size());
    return server;
}

const Member* FindMember(const std::wstring& server) {
    const std::wstring name = NetBiosName(server);
    for (const Member& member : kMembers)
        if (Same(name, member.name)) return &member;
    return nullptr;
}

// Whether a Kerberos principal ("CORP\\APP01", "corp.example\\app01.corp.example"
// or "APP01") names the computer server is.
bool NamesComputer(const std::wstring& principal, const std::wstring& server) {
    const size_t separator = principal.find(L'\\');
    if (separator != std::wstring::npos) {
        const std::wstring realm = principal.substr(0, separator);
        if (!Same(realm, kDomain) && !Same(realm, kDomainDns)) return false;
    }
    const std::wstring name = separator == std::wstring::npos ? principal : principal.substr(separator + 1);
    return !IsAddress(name) && Same(NetBiosName(name), NetBiosName(server));
}

std::wstring Text(const USHORT* text, ULONG length) {
    return text ? std::wstring(reinterpret_cast<const wchar_t*>(text), length) : std::wstring();
}

}  // namespace

Kind KindOf(const std::wstring& server) {
    for (const wchar_t* local : {L".", L"localhost", L"127.0.0.1", L"::1", L"DOUBLE"})
        if (Same(server, local)) return Kind::Local;
    if (Same(server, L"DOWN")) return Kind::Down;
    return FindMember(server) ? Kind::Member : Kind::Lenient;
}

HRESULT Grant(const std::wstring& server, const Account& account, DWORD service, const wchar_t* principal,
              bool defaulted, DWORD* mechanism) {
    const Member* member = FindMember(server);
    auto ntlm = [&]() -> HRESULT {
        if ((member && member->refusesNtlm) || account.protectedUser) return E_ACCESSDENIED;
        *mechanism = kNtlm;
        return S_OK;
    };
    const bool domainAccount = !account.upn.empty();
    switch (service) {
    case kKerberos:
        if (defaulted ? IsAddress(server) : !principal || !NamesComputer(principal, server)) return kTargetUnknown;
        if (!domainAccount) return E_ACCESSDENIED;  // a computer's own account has no Kerberos
        *mechanism = kKerberos;
        return S_OK;
    case kNtlm: return ntlm();
    case kNegotiate:
    case kDefault:
        if (!IsAddress(server) && domainAccount) {
            *mechanism = kKerberos;
            return S_OK;
        }
        return ntlm();
    default: return E_ACCESSDENIED;
    }
}

HRESULT Authenticate(const std::wstring& server, const wchar_t* user, const wchar_t* password,
                     const wchar_t* authority, Account* account, DWORD* mechanism) {
    // No user name: the process's own identity, which no computer of the
    // domain lets in (this process runs as no account of CORP).
    if (!user || !*user) return E_ACCESSDENIED;
    std::wstring authorityDomain, principal;
    DWORD service = kDefault;
    if (authority && *authority) {
        const std::wstring ntlmPrefix = L"ntlmdomain:", kerberosPrefix = L"kerberos:";
        const std::wstring text = authority;
        if (text.size() >= ntlmPrefix.size() && Same(text.substr(0, ntlmPrefix.size()), ntlmPrefix)) {
            authorityDomain = text.substr(ntlmPrefix.size());
            service = kNtlm;
        } else if (text.size() >= kerberosPrefix.size() &&
                   Same(text.substr(0, kerberosPrefix.size()), kerberosPrefix)) {
            principal = text.substr(kerberosPrefix.size());
            service = kKerberos;
        } else {
            return static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
        }
    }
    const std::wstring name = user;
    const size_t separator = name.find_first_of(L"\\/");
    const size_t at = name.find(L'@');
    std::wstring domain, bare;
    bool principalName = false;
    if (separator != std::wstring::npos) {
        if (!authorityDomain.empty()) return static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
        domain = name.substr(0, separator);
        bare = name.substr(separator + 1);
    } else if (at != std::wstring::npos) {
        if (!authorityDomain.empty()) return static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
        principalName = true;
    } else {
        // A bare name without an NTLM domain is looked up on the computer itself.
        domain = authorityDomain.empty() ? server : authorityDomain;
        bare = name;
    }

    const std::wstring computer = NetBiosName(server);
    Account found;
    bool known = false;
    for (const DomainAccount& candidate : kDomainAccounts) {
        const std::wstring upn = std::wstring(candidate.user) + L"@" + kDomainDns;
        if (principalName ? Same(name, upn)
                          : (Same(domain, kDomain) || Same(domain, kDomainDns)) && Same(bare, candidate.user)) {
            found = {kDomain, candidate.user, upn, candidate.password, candidate.protectedUser};
            known = true;
        }
    }
    // A computer's own account, by its name or the name it was reached by.
    if (!known && !principalName && (Same(domain, computer) || Same(domain, server)) && Same(bare, kLocalUser)) {
        found = {FindMember(server)->name, kLocalUser, L"", kLocalPassword, false};
        known = true;
    }
    if (!known || !password || found.password != password) return E_ACCESSDENIED;
    RETURN_IF_FAILED(Grant(server, found, service, principal.c_str(), false, mechanism));
    *account = found;
    return S_OK;
}

bool Carries(const COAUTHIDENTITY* identity, const Account& account) {
    if (!identity || identity == COLE_DEFAULT_AUTHINFO || (identity->Flags & SEC_WINNT_AUTH_IDENTITY_ANSI)) return false;
    const std::wstring user = Text(identity->User, identity->UserLength);
    const std::wstring domain = Text(identity->Domain, identity->DomainLength);
    const std::wstring password = Text(identity->Password, identity->PasswordLength);
    // A computer's own account by any of the computer's names.
    const bool named = (Same(user, account.user) && Same(NetBiosName(domain), account.domain)) ||
                       (domain.empty() && (Same(user, account.Name()) || (!account.upn.empty() && Same(user, account.upn))));
    return named && password == account.password;
}

}  // namespace network
