#include "Account.h"

#include "../common/ConnectionAccount.h"
#include "Utf.h"

ReachingAccount AccountReachingWmi(const RunnerOptions& options, Auth auth) {
    ReachingAccount account;
    if (options.user.empty()) return account;
    // The host as the bridge names the computer it connects to.
    const std::wstring fullHost = Wide(options.host), user = Wide(options.user), domain = Wide(options.domain);
    size_t begin = 0, end = fullHost.size();
    while (end > begin && fullHost[end - 1] == L'\\') --end;
    while (begin < end && fullHost[begin] == L'\\') ++begin;
    const std::wstring host = fullHost.empty() ? L"." : fullHost.substr(begin, end - begin);
    const com::ConnectionAccount connection =
        com::AccountOfConnection(host, user, domain.empty() ? nullptr : &domain);
    const com::AuthenticationService service = auth == Auth::Kerberos    ? com::AuthenticationService::Kerberos
                                               : auth == Auth::Negotiate ? com::AuthenticationService::Negotiate
                                                                         : com::AuthenticationService::Ntlm;
    const com::ServiceAccount sent = com::AccountForService(host, user, connection, service);
    account.user = sent.user;
    account.authority = sent.authority;
    account.name = connection.hasDomain ? connection.domain + L"\\" + connection.user : connection.user;
    return account;
}

std::wstring ReachingAccount::Who() const { return name.empty() ? L"this process's own account" : name; }

std::wstring ReachingAccount::Detailed() const {
    if (name.empty()) return Who();
    return name + L" (user " + user + L", authority " + (authority.empty() ? L"none" : authority) + L")";
}
