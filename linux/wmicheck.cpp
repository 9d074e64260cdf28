// wmicheck on Linux: one WMI check of a Windows computer over WS-Management
// (WinRM), with no agent there, as a monitoring plugin. The check core
// (check/) decides and words the verdict exactly as wmicheck.exe does; this
// program reads the command line and the password, bounds the run, and
// prints one line (or --json) with the state's exit code: 0 OK, 1 WARNING,
// 2 CRITICAL, 3 UNKNOWN.
//
// The run has one deadline, -t from the start: every request gets what is
// left of it. A watchdog ends the run at -t + 1 s with an UNKNOWN line
// whatever is stuck (a resolver, a peer that stopped mid-answer).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "Check.h"
#include "CommandLine.h"
#include "Diagnose.h"
#include "Options.h"
#include "Password.h"
#include "PluginOutput.h"
#include "WsmanSource.h"

#ifndef WMICHECK_VERSION
#define WMICHECK_VERSION "0.0.0"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUnknown = 3;
// What a run may take beyond its time-out before the watchdog ends it.
constexpr std::chrono::milliseconds kMargin{1000};

const Clock::time_point g_start = Clock::now();

// One verdict per run: the normal path and the watchdog race for it.
std::atomic<bool> g_claimed{false};

void Write(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Prints the verdict line (none when "": --diagnose printed its own) unless
// the watchdog printed its own; then the watchdog ends the process, and this
// thread waits for it.
int PrintVerdict(const std::string& line, int exitCode) {
    if (g_claimed.exchange(true)) {
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (!line.empty()) Write(stdout, line + "\n");
    return exitCode;
}

// The line of a run that never got a result: UNKNOWN with text.
std::string UnknownLine(const RunnerOptions& options, const std::string& text) {
    PluginResult result;
    result.text = text;
    result.countMode = options.count;
    result.warning = options.warning.Text();
    result.critical = options.critical.Text();
    return options.json ? PluginJson(result) : PluginLine(result);
}

int UsageError(const RunnerOptions& options, const std::string& message) {
    Write(stderr, "wmicheck --help lists the options.\n");
    return PrintVerdict(UnknownLine(options, "wmicheck: " + message), kUnknown);
}

// Ends the process with its line at the limit unless a verdict came first.
// The line is made before the thread starts and never freed: the watchdog
// allocates nothing, and nothing it reads goes away while it sleeps.
void StartWatchdog(Clock::time_point limit, const std::string& line) {
    const std::string* text = new std::string(line + "\n");
    std::thread([limit, text] {
        std::this_thread::sleep_until(limit);
        if (g_claimed.exchange(true)) return;
        ssize_t ignored = ::write(STDOUT_FILENO, text->data(), text->size());
        (void)ignored;
        std::_Exit(kUnknown);
    }).detach();
}

// Overwrites the environment's copy of the password, so that only the
// options hold it (and wipe it).
void WipeEnvironmentPassword() {
    if (char* value = std::getenv("WMICHECK_PASSWORD")) {
        volatile char* bytes = value;
        for (size_t i = 0, n = std::strlen(value); i < n; ++i) bytes[i] = 0;
    }
}

// Where and how to connect, as the options say; the password moves from the
// options into the settings.
wsman::Settings ConnectionSettings(RunnerOptions* options) {
    wsman::Settings connection;
    connection.endpoint.https = options->https;
    connection.endpoint.host = options->host;
    connection.endpoint.port = options->port ? static_cast<int>(options->port) : options->https ? 5986 : 5985;
    connection.user = options->domain.empty() || options->user.empty() ? options->user
                                                                     : options->domain + "\\" + options->user;
    switch (options->auth) {
    case Auth::Negotiate: connection.method = wsman::Method::Negotiate; break;
    case Auth::Kerberos: connection.method = wsman::Method::Kerberos; break;
    case Auth::Ntlm: connection.method = wsman::Method::Ntlm; break;
    case Auth::Basic: connection.method = wsman::Method::Basic; break;
    }
    connection.account = wsman::MapAccount(options->user, options->domain, options->realm);
    connection.keytab = options->keytab;
    connection.address = options->address;
    connection.hostIsAddress = IsIpAddress(options->host);
    connection.password.reserve(options->password.size());
    connection.password.assign(options->password);
    WipeText(&options->password);
    connection.caFile = options->caFile;
    connection.insecure = options->insecure;
    connection.proxy = options->proxy;
    return connection;
}

int Run(int argc, char** argv) {
    RunnerOptions options;
    std::string error = ParseCommandLine(argc, argv, &options, Platform::Linux);
    // The arguments may hold a secret: read once, then wiped, with the
    // command line that process listings show.
    for (int i = 1; i < argc; ++i) std::memset(argv[i], 0, std::strlen(argv[i]));
    if (error.empty() && options.passwordGiven && options.passwordFile.empty())
        error = "--password: the Linux wmicheck takes the password from --password-file or WMICHECK_PASSWORD, "
                "never from the command line, which other users of this computer can read";
    if (!error.empty()) {
        WipeEnvironmentPassword();
        return UsageError(options, error);
    }
    if (options.mode == RunMode::Version) return PrintVerdict("wmicheck " WMICHECK_VERSION " (Linux)", 0);
    if (options.mode == RunMode::Help) {
        Write(stdout, kUsage);
        return 0;
    }
    // From here on the run is bounded, reading the password file included.
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000 + 0.5));
    const bool diagnose = options.mode == RunMode::Diagnose;
    if (diagnose) {
        // Each step that waits may take the time-out.
        const auto limit = timeout * wmicheck::kDiagnoseWaitingSteps;
        StartWatchdog(g_start + limit + kMargin,
                      "DIAGNOSE UNKNOWN - the self-test's limit of " +
                          FormatNumber(options.timeoutSeconds * wmicheck::kDiagnoseWaitingSteps) +
                          " s (" + std::to_string(wmicheck::kDiagnoseWaitingSteps) + " times --timeout) ran out");
    } else {
        StartWatchdog(g_start + timeout + kMargin,
                      UnknownLine(options, "timed out after " + FormatNumber(options.timeoutSeconds) + " s"));
    }
    error = ResolvePassword(&options, StandardPasswordSources());
    WipeEnvironmentPassword();
    if (error.empty()) error = RefuseUserWithoutPassword(options);
    if (!error.empty()) return UsageError(options, error);

    if (options.insecure)
        Write(stderr, "wmicheck: --insecure: the certificate of " + options.host +
                          " is not verified; whoever sits between can read the password\n");
    if (diagnose) {
        wmicheck::DiagnoseSettings settings;
        settings.connection = ConnectionSettings(&options);
        settings.nameSpace = options.nameSpace;
        settings.timeout = timeout;
        settings.verbosity = options.verbosity;
        const int code = wmicheck::RunDiagnose(std::move(settings));
        return PrintVerdict("", code);
    }

    wmicheck::SourceSettings settings;
    settings.connection = ConnectionSettings(&options);
    settings.nameSpace = options.nameSpace;
    settings.classPath = options.classPath;
    settings.filter = options.filter;
    settings.timeout = timeout;
    settings.deadline = g_start + timeout;
    settings.verbosity = options.verbosity;

    wmicheck::WsmanSource source(std::move(settings));
    const PluginResult result = RunCheck(options, source);
    return PrintVerdict(options.json ? PluginJson(result) : PluginLine(result), ExitCode(result.state));
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that closes mid-request is an error of that request, not the
    // end of the process (curl, told not to use signals, leaves it to us).
    signal(SIGPIPE, SIG_IGN);
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        return PrintVerdict("WMI UNKNOWN - wmicheck ran out of memory", kUnknown);
    } catch (...) {
        return PrintVerdict("WMI UNKNOWN - wmicheck stopped on an unexpected error", kUnknown);
    }
}
