// wmicheck's command line: every option read and checked before anything
// runs. Portable C++ on UTF-8 text; functions may throw std::bad_alloc.
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
// it, else NTLM; Kerberos only; NTLM only, as the plug-in's check does;
// HTTP Basic (the Linux wmicheck over HTTPS only).
enum class Auth { Negotiate, Kerberos, Ntlm, Basic };

// An instance left out of a monitoring-plugin check (--exclude
// PROPERTY=VALUE): its property's value as text equals the value, compared
// without case. A class without the property leaves nothing out.
struct Exclusion {
    std::string property, value;
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
    std::string host = ".";
    double timeoutSeconds = 30;
    bool timeoutGiven = false;
    std::string param;
    bool paramGiven = false;
    bool printParam = false;
    // Check options.
    std::string nameSpace = "root\\cimv2", classPath, filter, property;
    std::string op;  // one of the eight codes, upper case; empty when not given
    std::string value;
    // The account: user without its domain, and the domain from --domain or
    // from DOMAIN\user in --user ("" for none; a user principal name,
    // user@domain, keeps its domain and gets none).
    // An empty password is none: passwordGiven is false then.
    std::string user, domain, password, passwordFile;
    bool passwordGiven = false;
    // -v, repeatable: the steps on standard error.
    int verbosity = 0;
    long authLevel = 6, impLevel = 3;  // Privacy, Impersonate
    Auth auth = Auth::Negotiate;
    bool authGiven = false;
    std::vector<Exclusion> excludes;
    // WS-Management (the Linux wmicheck): the port (0: 5986 with https,
    // else 5985), HTTPS, the CA bundle, no certificate check, a proxy.
    long port = 0;
    bool https = false, insecure = false;
    std::string caFile, proxy;
    // Kerberos and the connection (the Linux wmicheck): the service
    // account's keytab, the realm of a DOMAIN\\user account (the default
    // realm when ""), and the address to connect to while --host names the
    // service principal and the TLS name.
    std::string keytab, realm, address;
    // Monitoring-plugin options.
    Range warning, critical;
    Match match = Match::All;
    bool matchGiven = false, count = false, json = false, allowEmpty = false;
    std::string label;
    // Derived values: 100 x --property / percentOf, or the age in seconds of
    // the CIM datetime in --property. The ranges and --match apply to them.
    std::string percentOf;
    bool age = false;
    // Unit of the performance data ("" for none): --uom, else "%" with
    // --percent-of, "s" with --age.
    std::string unit;
};

// ParseCommandLine (CommandLine.h) over the arguments without the program's
// name: the same usage errors and the same mode on an error.
std::string ParseArguments(const std::vector<std::string>& args, RunnerOptions* options,
                           Platform platform = kThisPlatform);

// The usage text of --help for a build, lines ending in "\n".
const char* UsageText(Platform platform);
// This build's.
extern const char* const kUsage;
