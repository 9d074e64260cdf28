// wmicheck --diagnose on Linux: what stands between this computer and a
// WMI query of -H over WinRM, one step a line in the Windows build's form
// ("[OK] ...", "[CRITICAL] ..."), each failure with what to check: the
// name's resolution, TCP to the port, TLS and the certificate (--https),
// WS-Management's Identify, the logon and why its mechanism, the messages'
// encryption, and a query of Win32_OperatingSystem. The steps after one
// that fails cannot tell anything and are listed as skipped. The last line
// sums up; the exit code is the worst step's: 0 all passed, 1 a warning, 2
// a step failed.
#pragma once

#include <chrono>
#include <string>

#include "Client.h"

namespace wmicheck {

struct DiagnoseSettings {
    wsman::Settings connection;
    std::string nameSpace = "root\\cimv2";
    // Each step that waits for an answer waits at most this long (-t).
    std::chrono::milliseconds timeout{30000};
    int verbosity = 0;
};

// The steps that may each wait for the time-out: the run's limit is that
// many time-outs.
constexpr int kDiagnoseWaitingSteps = 6;

// Prints the steps and the closing line on standard output; returns the
// exit code.
int RunDiagnose(DiagnoseSettings settings);

}  // namespace wmicheck
