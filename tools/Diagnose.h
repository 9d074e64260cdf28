// wmicheck --diagnose: the self-test an administrator runs on a Windows
// host when a check does not work. It prints, one step a line, this
// process's bitness; for each DLL the path registered in this registry view
// and its version, and whether the other view has it too; whether COM
// security could be set; a local connection and query; and with --host the
// same against that computer, with the account as it reached WMI and what to
// check for each failure. The exit code follows the monitoring conventions:
// 0 every step passed, 1 a warning, 2 a step failed, 3 it could not run.
#pragma once

#include "Options.h"

// The self-test's own limit for a time-out: its four steps that ask a
// computer (two connections, two queries) are each bounded by the time-out,
// and together by this limit less a second, so that each step's own answer
// arrives before the watchdog ends the run at the limit.
double DiagnoseLimitSeconds(double timeoutSeconds);

// Call from a thread that has not joined an apartment. Throws
// std::bad_alloc only.
int RunDiagnose(const RunnerOptions& options);
