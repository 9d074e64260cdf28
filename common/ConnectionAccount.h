// The account a connection hands to WMI: the user name ConnectServer gets and
// the domain its authority names. The bridge connects by these rules, and
// wmicheck shows an administrator the account they give.
#pragma once

#include <cwctype>
#include <string>

namespace com {

struct ConnectionAccount {
    std::wstring user;    // without a "DOMAIN\" (or "DOMAIN/") prefix
    std::wstring domain;  // the authority's domain, when hasDomain
    bool hasDomain = false;
};

// server: the computer as connected to ("." for this one), without leading
// or trailing backslashes. user: as given ("user", "DOMAIN\user",
// "DOMAIN/user", "user@domain"; empty for none). domain: the domain argument,
// null when none was given.
//
// A domain argument is the domain. Without one: the user's own prefix, if
// any, on every computer; a user principal name (holding "@" and no
// backslash or slash) carries its domain and gets none, since WMI refuses it
// together with an authority; a bare user name on another computer is that
// computer's account, and on this one has no domain. Throws bad_alloc.
inline ConnectionAccount AccountOfConnection(const std::wstring& server, const std::wstring& user,
                                             const std::wstring* domain) {
    ConnectionAccount account;
    account.user = user;
    std::wstring userDomain;
    const size_t separator = user.find_first_of(L"\\/");
    const bool principalName = user.find(L'@') != std::wstring::npos && separator == std::wstring::npos;
    if (separator != std::wstring::npos && separator > 0) {
        userDomain = user.substr(0, separator);
        account.user.erase(0, separator + 1);
    }
    if (domain) {
        account.domain = *domain;
        account.hasDomain = true;
    } else if (!userDomain.empty()) {
        account.domain = userDomain;
        account.hasDomain = true;
    } else if (server != L"." && !principalName) {
        account.domain = server;
        account.hasDomain = true;
    }
    return account;
}

// Whether two names are the same but for case (portable: no C runtime's own
// extension).
inline bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

// How a connection authenticates; the values are the type library's
// EQvWMIAuthenticationService.
enum class AuthenticationService { Ntlm = 0, Negotiate = 1, Kerberos = 2 };

// What a connection hands to WMI for one authentication service: the user
// name ConnectServer gets, its authority, and the server principal name of
// every proxy's blanket.
struct ServiceAccount {
    std::wstring user;       // empty with no user
    std::wstring authority;  // empty: none
    std::wstring principal;  // Kerberos only; empty otherwise
};

// server and givenUser as for AccountOfConnection, account its result.
//   NTLM       the user without its domain, authority "ntlmdomain:DOMAIN"
//              when there is a domain;
//   negotiate  "DOMAIN\user" (a user principal name as given), no
//              authority: DCOM chooses Kerberos or NTLM;
//   Kerberos   "DOMAIN\user", authority "kerberos:" and the server's
//              principal name "DOMAIN\server" (the server alone when the
//              account is the computer's own or has no domain).
// On this computer ("."), which takes no authority, negotiate and Kerberos
// send none. Throws bad_alloc.
inline ServiceAccount AccountForService(const std::wstring& server, const std::wstring& givenUser,
                                        const ConnectionAccount& account, AuthenticationService service) {
    ServiceAccount result;
    if (service == AuthenticationService::Ntlm) {
        result.user = account.user;
        if (account.hasDomain) result.authority = L"ntlmdomain:" + account.domain;
        return result;
    }
    const bool principalName =
        givenUser.find(L'@') != std::wstring::npos && givenUser.find_first_of(L"\\/") == std::wstring::npos;
    result.user = account.hasDomain && !principalName ? account.domain + L"\\" + account.user : account.user;
    if (service != AuthenticationService::Kerberos || server == L".") return result;
    // The realm the server is named in: the account's domain, or the part
    // of a user principal name after its "@"; a computer's own account has none.
    std::wstring realm;
    if (principalName) realm = givenUser.substr(givenUser.rfind(L'@') + 1);
    else if (account.hasDomain && !SameName(account.domain, server)) realm = account.domain;
    result.principal = realm.empty() ? server : realm + L"\\" + server;
    result.authority = L"kerberos:" + result.principal;
    return result;
}

}  // namespace com
