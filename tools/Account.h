// The account of a connection as the bridge hands it to WMI.
#pragma once

#include <string>

#include "Options.h"

// The account as the bridge hands it to WMI with auth, by its rules for the
// domain (common/ConnectionAccount.h): user and authority as ConnectServer
// receives them, and the name an administrator reads ("CORP\monitor", "monitor@corp.example",
// "SRV01\monitor" for a bare user on another computer). All empty without
// --user: the process's own identity.
struct ReachingAccount {
    std::wstring user, authority, name;
    // The name, or "this process's own account".
    std::wstring Who() const;
    // Who(), with the user and authority that WMI receives.
    std::wstring Detailed() const;
};
ReachingAccount AccountReachingWmi(const RunnerOptions& options, Auth auth);
