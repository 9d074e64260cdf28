// Output that survives any text, and the one verdict of a run.
//
// Text goes to a console through WriteConsoleW (every character as it is),
// and to a file or pipe as UTF-8. Nothing is buffered, so a line written is
// out even if the process ends right after.
//
// A run prints exactly one verdict line. The normal path, the watchdog, the
// crash handlers and std::terminate race for it through ClaimVerdict; the
// loser never prints a second one, and the process never exits 0 without a
// verdict: a crash or an unexpected error ends it with exit code 3 and a
// line that says so.
#pragma once

#include <windows.h>

#include <string>

enum class Stream { Out, Err };

// Writes text unchanged (no line end added). Allocates nothing.
void WriteText(Stream stream, const wchar_t* text, size_t length) noexcept;
inline void WriteText(Stream stream, const std::wstring& text) noexcept {
    WriteText(stream, text.data(), text.size());
}
// The text and a line end ("\r\n").
void WriteLine(Stream stream, const std::wstring& text) noexcept;

// The steps of a run on standard error, with -v.
class Steps {
public:
    explicit Steps(int verbosity) noexcept : on_(verbosity > 0) {}
    void Say(const std::wstring& text) const {
        if (on_) WriteLine(Stream::Err, L"wmicheck: " + text);
    }

private:
    bool on_;
};

// How the emergency lines (crash, time-out) look: as the plug-in check
// prints them ("UNKNOWN: ..."), as a monitoring plugin ("WMI UNKNOWN - ..."),
// or as the JSON object of --json.
enum class VerdictStyle { Host, Plugin, Json };

// Installs the handlers for unhandled exceptions (crashes on any thread),
// std::terminate and abort. Call once, first thing.
void InstallCrashGuard(VerdictStyle style) noexcept;

// True for the first caller only, which then prints the verdict and exits
// with exitCode. A later crash exits with that code rather than 3.
bool ClaimVerdict(int exitCode) noexcept;

// Prints line as the run's verdict and returns exitCode. When another path
// has claimed the verdict already (the watchdog), waits for it to end the
// process.
int PrintVerdict(const std::wstring& line, int exitCode) noexcept;

// Ends the process with exit code 3 after printing reason as an UNKNOWN
// verdict (if no verdict is out yet). Allocates nothing.
[[noreturn]] void FailRun(const wchar_t* reason) noexcept;

// Ends the process with exitCode once the verdict is out, without the DLLs'
// shutdown: under Wine that shutdown, after a check through COM and WMI,
// sometimes crashed or was killed and the exit code was lost (about 1 run in
// 100). Everything is written straight to the handles, so nothing is lost.
[[noreturn]] void EndProcess(int exitCode) noexcept;

// Milliseconds since the process started: the clock of the watchdog and of a
// run's deadline.
ULONGLONG MsSinceStart() noexcept;

// Starts a thread that calls FailRun(reason) ms milliseconds after the
// process started (not after this call). If the verdict is out by then but
// the process still runs (stuck in shutdown), it ends the process with the
// verdict's exit code.
void StartWatchdog(DWORD ms, const std::wstring& reason) noexcept;
