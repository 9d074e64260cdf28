// wmicheck's command line: every option read and checked before anything
// runs. Plain C++ without COM; functions may throw std::bad_alloc.
#pragma once

#include <string>
#include <vector>

#include "Thresholds.h"

enum class RunMode {
    Help,       // --help: the usage text
    Check,      // the plug-in's check through ostrel.WMICom, as the host runs it
    Plugin,     // a monitoring-plugin check straight over the bridge
    Configure,  // the plug-in's configuration form
};

// Which instances must satisfy the operator in a monitoring-plugin check.
enum class Match { All, Any, None };

struct RunnerOptions {
    RunMode mode = RunMode::Check;
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
    std::wstring user, password, passwordFile;
    bool passwordGiven = false;
    long authLevel = 4, impLevel = 3;
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

// Reads the arguments (without the program name). Returns "" on success, or
// the usage error, which names the option at fault. *options->mode is set as
// far as the arguments show it even when an error is returned, so the error
// can be reported in that mode's form.
std::wstring ParseArguments(const std::vector<std::wstring>& args, RunnerOptions* options);

// The usage text of --help.
extern const wchar_t kUsage[];
