// A monitoring-plugin check: the bridge driven through its automation
// interfaces from the calling thread, which must be in the multithreaded
// apartment (the bridge's own, so every call is direct and its error
// information arrives). Every instance counts: the operator under
// --match all|any|none, the ranges on each instance's number (or on the
// instance count with --count); the worst state decides.
#pragma once

#include <windows.h>

#include <string>

#include "Options.h"
#include "PluginOutput.h"
#include "qvWMI_h.h"

// Runs the check. Failures of WMI or the bridge end in an UNKNOWN result
// whose text says what failed. Throws std::bad_alloc only.
PluginResult RunPluginCheck(const RunnerOptions& options);

// What to check when a connection failed with hr, for the failures remote
// computers commonly give (access denied, RPC server unavailable, local
// credentials, an unknown namespace, a refused account form); "" for others.
std::wstring ConnectAdvice(HRESULT hr, const RunnerOptions& options, const ReachingAccount& account);

// Sets the access object's time-out and security levels from options, then
// initializes it.
HRESULT SetUpAccess(IQvWMIAccess* access, const RunnerOptions& options);

// "0x80041002 <description>": the thread's error information when it has a
// description, else the system's text for the code (as the plug-in's runner
// has always printed it).
std::wstring DescribeFailure(HRESULT hr);
