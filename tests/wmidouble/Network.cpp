#include "Network.h"

#include <wbemidl.h>


namespace network {
namespace {

// The domain CORP (DNS name corp.example) and its one monitoring account.
const wchar_t kDomain[] = L"CORP";
const wchar_t kDomainDns[] = L"corp.example";
const wchar_t kDomainUser[] = L"monitor";
const wchar_t kDomainPassword[] = L"M0nitor!";
// Each member computer's local account.
const wchar_t kLocalUser[] = L"localmon";
const wchar_t kLocalPassword[] = L"L0calmon!";

// The member computers, by NetBIOS name; their DNS names end in
// ".corp.example".
const wchar_t* const kMembers[] = {L"APP01", L"APP02"};

bool Same(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// "app01.corp.example" as "APP01"; other names as they are.
std::wstring NetBiosName(const std::wstring& server) {
    const std::wstring suffix = std::wstring(L".") + kDomainDns;
    if (server.size() > suffix.size() && Same(server.substr(server.size() - suffix.size()), suffix))
        return server.substr(0, server.size() - suffix.size());
    return server;
}

// The member's name as its table writes it.
std::wstring CanonicalMember(const std::wstring& name) {
    for (const wchar_t* member : kMembers)
        if (Same(name, member)) return member;
    return name;
}

std::wstring Text(const USHORT* text, ULONG length) {
    return text ? std::wstring(reinterpret_cast<const wchar_t*>(text), length) : std::wstring();
}

}  // namespace

Kind KindOf(const std::wstring& server) {
    for (const wchar_t* local : {L".", L"localhost", L"127.0.0.1", L"::1", L"DOUBLE"})
        if (Same(server, local)) return Kind::Local;
    if (Same(server, L"DOWN")) return Kind::Down;
    const std::wstring name = NetBiosName(server);
    for (const wchar_t* member : kMembers)
        if (Same(name, member)) return Kind::Member;
    return Kind::Lenient;
}

HRESULT Authenticate(const std::wstring& server, const wchar_t* user, const wchar_t* password,
                     const wchar_t* authority, Account* account) {
    // No user name: the process's own identity, which no computer of the
    // domain lets in (this process runs as no account of CORP).
    if (!user || !*user) return E_ACCESSDENIED;
    std::wstring authorityDomain;
    if (authority && *authority) {
        const std::wstring prefix = L"ntlmdomain:";
        const std::wstring text = authority;
        if (text.size() < prefix.size() || !Same(text.substr(0, prefix.size()), prefix))
            return static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
        authorityDomain = text.substr(prefix.size());
    }
    const std::wstring name = user;
    const size_t separator = name.find_first_of(L"\\/");
    const size_t at = name.find(L'@');
    std::wstring domain, bare;
    bool principal = false;
    if (separator != std::wstring::npos) {
        if (!authorityDomain.empty()) return static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
        domain = name.substr(0, separator);
        bare = name.substr(separator + 1);
    } else if (at != std::wstring::npos) {
        if (!authorityDomain.empty()) return static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
        principal = true;
    } else {
        // A bare name without an authority is looked up on the computer itself.
        domain = authorityDomain.empty() ? NetBiosName(server) : authorityDomain;
        bare = name;
    }

    const std::wstring computer = NetBiosName(server);
    const std::wstring upn = std::wstring(kDomainUser) + L"@" + kDomainDns;
    Account found;
    if (principal ? Same(name, upn)
                  : (Same(domain, kDomain) || Same(domain, kDomainDns)) && Same(bare, kDomainUser)) {
        found = {kDomain, kDomainUser, upn, kDomainPassword};
    } else if (!principal && Same(domain, computer) && Same(bare, kLocalUser)) {
        found = {CanonicalMember(computer), kLocalUser, L"", kLocalPassword};
    } else {
        return E_ACCESSDENIED;
    }
    if (!password || found.password != password) return E_ACCESSDENIED;
    *account = found;
    return S_OK;
}

bool Carries(const COAUTHIDENTITY* identity, const Account& account) {
    if (!identity || identity == COLE_DEFAULT_AUTHINFO || (identity->Flags & SEC_WINNT_AUTH_IDENTITY_ANSI)) return false;
    const std::wstring user = Text(identity->User, identity->UserLength);
    const std::wstring domain = Text(identity->Domain, identity->DomainLength);
    const std::wstring password = Text(identity->Password, identity->PasswordLength);
    const bool named = (Same(user, account.user) && Same(domain, account.domain)) ||
                       (domain.empty() && (Same(user, account.Name()) || (!account.upn.empty() && Same(user, account.upn))));
    return named && password == account.password;
}

}  // namespace network
