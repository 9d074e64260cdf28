// The account a connection hands to WMI: the user name ConnectServer gets and
// the domain its authority names. The bridge connects by these rules, and
// wmicheck shows an administrator the account they give.
#pragma once

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
// A domain argument is the domain. Without one: on this computer, the user's
// own prefix, if any; a user principal name (holding "@" and no backslash or
// slash) carries its domain and gets none, since WMI refuses it together with
// an authority; any other user on another computer is that computer's
// account. Throws bad_alloc.
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
    } else if (server == L".") {
        account.domain = userDomain;
        account.hasDomain = !userDomain.empty();
    } else if (!principalName) {
        account.domain = server;
        account.hasDomain = true;
    }
    return account;
}

}  // namespace com
