// wmicheck's command line: every option read and checked before anything
// runs. Plain C++ without COM; functions may throw std::bad_alloc.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Thresholds.h"

enum class RunMode {
    Help,       // --help: the usage text
    Version,    // --version: the release
    Check,      // the plug-in's check through ostrel.WMICom, as the host runs it
    Plugin,     // a monitoring-plugin check straight over the bridge (the default)
    Configure,  // the plug-in's configuration form
    Diagnose,   // the self-test of this installation and, with --host, of a remote computer
};

// Which instances must satisfy the operator in a monitoring-plugin check.
enum class Match { All, Any, None };

// How a connection authenticates (--auth): Kerberos where the domain offers
// it, else NTLM; Kerberos only; NTLM only, as the plug-in's check does.
enum class Auth { Negotiate, Kerberos, Ntlm };

// An instance left out of a monitoring-plugin check (--exclude
// PROPERTY=VALUE): its property's value as text equals the value, compared
// without case. A class without the property leaves nothing out.
struct Exclusion {
    std::wstring property, value;
};

struct RunnerOptions {
    // Every copy wipes the password and the parameter string (which holds
    // the password encoded) when it goes.
    RunnerOptions() = default;
    RunnerOptions(const RunnerOptions&) = default;
    RunnerOptions& operator=(const RunnerOptions&) = default;
    ~RunnerOptions() {
        WipeText(&password);
        WipeText(&param);
    }

    RunMode mode = RunMode::Plugin;
    std::wstring host = L".";
    double timeoutSeconds = 30;
    bool timeoutGiven = false;
    std::wstring param;
    bool paramGiven = false;
    bool printParam = false;
    // Check options.
    std::wstring nameSpace = L"root\\cimv2", classPath, filter, property;
    std::wstring op;  // one of the eight codes, upper case; empty when not given
    std::wstring value;
    // The account: user without its domain, and the domain from --domain or
    // from DOMAIN\user in --user ("" for none; a user principal name,
    // user@domain, keeps its domain and gets none).
    // An empty password is none: passwordGiven is false then.
    std::wstring user, domain, password, passwordFile;
    bool passwordGiven = false;
    // -v, repeatable: the steps on standard error.
    int verbosity = 0;
    long authLevel = 6, impLevel = 3;  // Privacy, Impersonate
    Auth auth = Auth::Negotiate;
    bool authGiven = false;
    std::vector<Exclusion> excludes;
    // Monitoring-plugin options.
    Range warning, critical;
    Match match = Match::All;
    bool matchGiven = false, count = false, json = false, allowEmpty = false;
    std::wstring label;
    // Derived values: 100 x --property / percentOf, or the age in seconds of
    // the CIM datetime in --property. The ranges and --match apply to them.
    std::wstring percentOf;
    bool age = false;
    // Unit of the performance data ("" for none): --uom, else "%" with
    // --percent-of, "s" with --age.
    std::wstring unit;
};

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

// ParseCommandLine (CommandLine.h) over the arguments without the program's
// name: the same usage errors and the same mode on an error.
std::wstring ParseArguments(const std::vector<std::wstring>& args, RunnerOptions* options);

// The usage text of --help.
extern const wchar_t kUsage[];
