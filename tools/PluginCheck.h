// A monitoring-plugin check over the bridge (RunCheck over a BridgeSource),
// and the COM-side helpers it shares with --diagnose: the time-out's
// deadline, the access object's set-up, the advice for failed steps.
#pragma once

#include <windows.h>

#include <string>

#include "Account.h"
#include "Options.h"
#include "PluginOutput.h"
#include "qvWMI_h.h"

// Runs the check from a thread in the multithreaded apartment. Failures of
// WMI or the bridge end in an UNKNOWN result whose text says what failed.
// Throws std::bad_alloc only.
PluginResult RunPluginCheck(const RunnerOptions& options);

// What a run's steps have left of a time-out counted from the process's
// start, the clock the watchdog counts on.
class Deadline {
public:
    explicit Deadline(double seconds) noexcept;
    // Milliseconds left; 0 when none.
    long LeftMs() const noexcept;

private:
    ULONGLONG endMs_;
};

// "2 s", "0.35 s".
std::wstring SecondsText(double seconds);

// The text of a check that asked for --auth from a bridge without
// IQvWMIAccess2.
extern const wchar_t kBridgeLacksAuth[];

// ", authenticated with Kerberos": the service that the connection's proxy
// reports (IQvWMIServer3); "" when the bridge does not tell.
std::wstring AuthenticatedWith(IQvWMIServer* server);

// What to check when a connection to host failed with hr, for the failures
// remote computers commonly give (access denied, NTLM or Kerberos refused, a
// namespace that needs privacy, RPC server unavailable, no answer within
// stepMs, local credentials, an unknown namespace, a refused account form);
// "" for others. auth: the service the connection used.
std::wstring ConnectAdvice(HRESULT hr, const RunnerOptions& options, const std::wstring& host, Auth auth,
                           const ReachingAccount& account, long stepMs);

// What to check when a query of host ran out of its stepMs, or was refused
// below the privacy a namespace requires; "" for other failures.
std::wstring QueryAdvice(HRESULT hr, const RunnerOptions& options, const std::wstring& host, long stepMs);

// Sets the access object's time-out, security levels and, where the bridge
// offers IQvWMIAccess2, authentication service from options, then
// initializes it. *used: the service later connections use (NTLM, as
// always, from a bridge without IQvWMIAccess2). E_NOINTERFACE when --auth
// was given and the bridge does not offer it.
HRESULT SetUpAccess(IQvWMIAccess* access, const RunnerOptions& options, Auth* used);

// "0x80041002 <description>": the thread's error information when it has a
// description, else the system's text for the code (as the plug-in's runner
// has always printed it).
std::wstring DescribeFailure(HRESULT hr);
