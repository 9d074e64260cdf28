// wmicheck: runs one WMI check from the command line.
//
// By default it is a monitoring plugin (PluginCheck.h): exit codes 0 OK,
// 1 WARNING, 2 CRITICAL, 3 UNKNOWN, one line "WMI <STATE> - <text> |
// <performance data>", every instance counting.
//
// With --param, --last-instance or --print-param it runs the check the way
// the monitoring host does: it creates ostrel.WMICom in a single-threaded
// apartment, puts the host name, time-out and parameter string, calls
// km_docheck and prints km_result on one line (the last instance that has
// the property decides). Exit codes: 0 the condition holds, 2 it does not (an
// error text included), 3 the check could not run. With --configure it opens
// the plug-in's configuration form instead, as the host does, and prints
// km_parameter once the form is closed. --diagnose runs the self-test
// (Diagnose.h).
//
// Every run that checks ends within a bound (a watchdog), and a crash or an
// unexpected error ends in exit code 3 and a line saying so (Console.h).
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "../common/Raii.h"
#include "Console.h"
#include "Diagnose.h"
#include "Options.h"
#include "ParameterString.h"
#include "PluginCheck.h"
#include "Password.h"
#include "PluginOutput.h"
#include "Utf.h"
#include "ostrel_h.h"
#include "release_version.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kHolds = 0, kFails = 2, kUnknown = 3;
// What a run may take beyond its time-out before the watchdog ends it.
constexpr double kMarginSeconds = 1.0;

// Wipes a string that held a secret.
void Wipe(std::wstring* text) noexcept { WipeText(text); }

std::wstring CollapseWide(const std::wstring& text) { return Wide(CollapseBlanks(Utf8(text))); }

com::UniqueVariant Text(const std::wstring& text) {
    com::UniqueVariant v;
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

// A member's text as the plug-in left it ("" unless a string).
std::wstring MemberText(const com::UniqueVariant& member) {
    return V_VT(member.get()) == VT_BSTR && V_BSTR(member.get()) ? V_BSTR(member.get()) : L"";
}

// Password files and WMICHECK_PASSWORD as this build reads them: wide
// paths and the wide environment; a file that is neither UTF-16 nor UTF-8 is
// read in the ANSI code page.
PasswordSources WindowsPasswordSources() {
    PasswordSources sources;
    sources.readFile = [](const std::string& utf8Path, std::string* out, std::string* error) {
        const std::wstring path = Wide(utf8Path);
        // Readable while an editor holds it open.
        com::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) {
            const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            file.release();
            *error = "cannot open '" + utf8Path + "': " + Utf8(CollapseWide(DescribeFailure(hr)));
            return false;
        }
        std::vector<char> bytes(64 * 1024);
        DWORD read = 0;
        const BOOL ok = ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        if (!ok) {
            *error = "cannot read '" + utf8Path + "'";
            return false;
        }
        const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
        const bool utf16 = read >= 2 && data[0] == 0xFF && data[1] == 0xFE;
        const size_t skip = read >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
        const int length = static_cast<int>(read - skip);
        if (utf16 || length == 0 ||
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + skip, length, nullptr, 0) > 0) {
            out->reserve(read);
            out->assign(bytes.data(), read);
        } else {
            // The ANSI code page's text, as UTF-8.
            std::wstring text(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes.data() + skip, length, nullptr, 0)),
                              L'\0');
            if (!text.empty()) MultiByteToWideChar(CP_ACP, 0, bytes.data() + skip, length, &text[0], static_cast<int>(text.size()));
            AssignUtf8(out, text.data(), text.size());
            Wipe(&text);
        }
        com::SecureZero(bytes.data(), bytes.size());
        return true;
    };
    sources.environment = [](std::string* out) {
        const DWORD size = GetEnvironmentVariableW(L"WMICHECK_PASSWORD", nullptr, 0);
        if (size == 0) return false;
        std::wstring value(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"WMICHECK_PASSWORD", &value[0], size);
        if (length < size) AssignUtf8(out, value.data(), length);
        Wipe(&value);
        return length < size;
    };
    return sources;
}

// Creates ostrel.WMICom by its ProgID and puts the host's three members, as
// the monitoring host does before a check or a configuration. Prints why
// when the plug-in cannot be created.
ComPtr<_WMICom> CreatePlugin(const RunnerOptions& options, const std::wstring& parameters) {
    CLSID clsid;
    ComPtr<_WMICom> plugin;
    HRESULT hr = CLSIDFromProgID(L"ostrel.WMICom", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &plugin);
    if (FAILED(hr)) {
        PrintVerdict(CollapseWide(L"UNKNOWN: cannot create ostrel.WMICom: " + DescribeFailure(hr)), kUnknown);
        return nullptr;
    }
    com::UniqueVariant host = Text(Wide(options.host)), parameter = Text(parameters), timeout;
    V_VT(timeout.get()) = VT_R8;
    V_R8(timeout.get()) = options.timeoutSeconds;
    plugin->put_km_hostname(*host.get());
    plugin->put_km_timeout(*timeout.get());
    plugin->put_km_parameter(*parameter.get());
    // The parameter string holds the password (encoded).
    if (V_BSTR(parameter.get())) com::SecureZero(V_BSTR(parameter.get()), SysStringByteLen(V_BSTR(parameter.get())));
    return plugin;
}

// With -v: how long the check took from start.
void SayReturned(const Steps& steps, ULONGLONG start) {
    steps.Say(L"the check returned in " + std::to_wstring(GetTickCount64() - start) + L" ms");
}

// The check through the plug-in, as the monitoring host runs it.
int RunHostCheck(RunnerOptions& options) {
    std::wstring parameters;
    if (options.paramGiven) {
        AssignWide(&parameters, options.param.data(), options.param.size());
    } else {
        CheckParameters fields;
        fields.nameSpace = Wide(options.nameSpace);
        fields.classPath = Wide(options.classPath);
        fields.filter = Wide(options.filter);
        fields.property = Wide(options.property);
        fields.operatorCode = options.op.empty() ? L"CON" : Wide(options.op);
        fields.compareValue = Wide(options.value);
        fields.user = Wide(options.user);
        fields.domain = Wide(options.domain);
        AssignWide(&fields.password, options.password.data(), options.password.size());
        fields.authenticationLevel = options.authLevel;
        fields.impersonationLevel = options.impLevel;
        const wchar_t* rejected = nullptr;
        const HRESULT hr = ComposeParameterString(fields, &parameters, &rejected);
        Wipe(&fields.password);
        if (FAILED(hr)) {
            wchar_t code[16];
            swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
            return PrintVerdict(L"UNKNOWN: wmicheck: cannot compose the parameter string (" +
                                    std::wstring(rejected ? rejected : L"?") + L"): " + code,
                                kUnknown);
        }
    }
    if (options.printParam) WriteLine(Stream::Out, parameters);
    const Steps steps(options.verbosity);
    if (!options.paramGiven)
        steps.Say(L"the plug-in's check of \\\\" + Wide(options.host) + L"\\" + Wide(options.nameSpace) + L" as " +
                  AccountReachingWmi(options, Auth::Ntlm).Who() + L": SELECT * FROM " + Wide(options.classPath) +
                  (options.filter.empty() ? L"" : L" WHERE " + Wide(options.filter)));
    const ULONGLONG start = GetTickCount64();
    ComPtr<_WMICom> check = CreatePlugin(options, parameters);
    Wipe(&parameters);
    if (!check) return kUnknown;
    VARIANT_BOOL verdict = VARIANT_FALSE;
    SetErrorInfo(0, nullptr);
    const HRESULT hr = check->km_docheck(&verdict);
    if (FAILED(hr))
        return PrintVerdict(CollapseWide(L"UNKNOWN: the check raised an error: " + DescribeFailure(hr)), kUnknown);
    com::UniqueVariant result;
    check->get_km_result(result.put());
    SayReturned(steps, start);
    return PrintVerdict(CollapseWide(MemberText(result)), verdict ? kHolds : kFails);
}

// --configure: the host's configuration call. km_showGUI returns once the
// user has closed the form.
int Configure(const RunnerOptions& options) {
    std::wstring parameters;
    AssignWide(&parameters, options.param.data(), options.param.size());
    ComPtr<_WMICom> check = CreatePlugin(options, parameters);
    Wipe(&parameters);
    if (!check) return kUnknown;
    SetErrorInfo(0, nullptr);
    const HRESULT hr = check->km_showGUI();
    if (FAILED(hr))
        return PrintVerdict(
            CollapseWide(L"UNKNOWN: the configuration form could not be shown: " + DescribeFailure(hr)), kUnknown);
    com::UniqueVariant result;
    check->get_km_parameter(result.put());
    return PrintVerdict(MemberText(result), 0);
}

// A monitoring-plugin run: the bridge in this thread's multithreaded
// apartment.
int RunPlugin(const RunnerOptions& options) {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    PluginResult result;
    if (FAILED(hr)) {
        result.text = Utf8(L"cannot join the multithreaded apartment: " + DescribeFailure(hr));
    } else {
        const ULONGLONG start = GetTickCount64();
        result = RunPluginCheck(options);
        SayReturned(Steps(options.verbosity), start);
    }
    const int code = PrintVerdict(Wide(options.json ? PluginJson(result) : PluginLine(result)), ExitCode(result.state));
    if (SUCCEEDED(hr)) CoUninitialize();
    return code;
}

// A usage error: the reason on stdout in the mode's form (a monitoring
// engine shows only stdout), the hint on stderr.
int UsageError(const RunnerOptions& options, const std::string& message) {
    WriteLine(Stream::Err, L"wmicheck --help lists the options.");
    const std::string reason = "wmicheck: " + message;
    if (options.mode != RunMode::Plugin) return PrintVerdict(Wide(CollapseBlanks("UNKNOWN: " + reason)), kUnknown);
    PluginResult result;
    result.text = reason;
    return PrintVerdict(Wide(options.json ? PluginJson(result) : PluginLine(result)), kUnknown);
}

std::wstring Seconds(double seconds) { return Wide(FormatNumber(seconds)) + L" s"; }

// Joins a single-threaded apartment, as the monitoring host's thread is;
// false (the verdict printed) when that fails.
bool JoinHostApartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) return true;
    PrintVerdict(CollapseWide(L"UNKNOWN: cannot join a single-threaded apartment: " + DescribeFailure(hr)), kUnknown);
    return false;
}

int Main(int argc, wchar_t** argv) {
    RunnerOptions options;
    std::string error;
    {
        Utf8Arguments utf8(argc, argv);
        error = ParseCommandLine(utf8.Count(), utf8.Values(), &options);
    }
    // The arguments may hold the password: read once, then wiped, with the
    // process's command line that process listings show.
    for (int i = 1; i < argc; ++i) com::SecureZero(argv[i], wcslen(argv[i]) * sizeof(wchar_t));
    if (wchar_t* line = GetCommandLineW()) com::SecureZero(line, wcslen(line) * sizeof(wchar_t));
    InstallCrashGuard(options.mode != RunMode::Plugin ? VerdictStyle::Host
                      : options.json                   ? VerdictStyle::Json
                                                       : VerdictStyle::Plugin);
    if (!error.empty()) return UsageError(options, error);
    if (options.mode == RunMode::Version) {
        wchar_t version[64];
        swprintf(version, 64, L"wmicheck %d.%d.%d (%ls)", RELEASE_VERSION_MAJOR, RELEASE_VERSION_MINOR,
                 RELEASE_VERSION_BUILD, sizeof(void*) == 8 ? L"x64" : L"x86");
        WriteLine(Stream::Out, version);
        return 0;
    }
    if (options.mode == RunMode::Help) {
        std::wstring usage;
        for (const wchar_t c : Wide(kUsage)) usage += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
        WriteText(Stream::Out, usage);
        return 0;
    }
    if (options.mode == RunMode::Configure) {
        if (!JoinHostApartment()) return kUnknown;
        const int code = Configure(options);
        CoUninitialize();
        return code;
    }
    std::string passwordError = ResolvePassword(&options, WindowsPasswordSources());
    if (passwordError.empty()) passwordError = RefuseUserWithoutPassword(options);
    if (!passwordError.empty()) return UsageError(options, passwordError);

    int code;
    if (options.mode == RunMode::Diagnose) {
        // Its steps bound themselves by the time-out and by this limit.
        const double limit = DiagnoseLimitSeconds(options.timeoutSeconds);
        StartWatchdog(static_cast<DWORD>(std::lround(limit * 1000)), L"the self-test did not end within " + Seconds(limit));
        code = RunDiagnose(options);
    } else if (options.mode == RunMode::Plugin) {
        // The connection, the query and the class each get what is left of
        // the time-out, and the bridge bounds them by it; the watchdog
        // bounds everything else.
        StartWatchdog(static_cast<DWORD>(std::lround((options.timeoutSeconds + kMarginSeconds) * 1000)),
                      L"timed out after " + Seconds(options.timeoutSeconds));
        code = RunPlugin(options);
    } else {
        // The plug-in bounds its connection, class fetch and query by the
        // time-out each.
        const double limit = 3 * options.timeoutSeconds + 2 * kMarginSeconds;
        StartWatchdog(static_cast<DWORD>(std::lround(limit * 1000)),
                      L"the check did not end within " + Seconds(limit));
        if (!JoinHostApartment()) return kUnknown;
        code = RunHostCheck(options);
        CoUninitialize();
    }
    WipeText(&options.password);
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        EndProcess(Main(argc, argv));
    } catch (const std::bad_alloc&) {
        FailRun(L"wmicheck ran out of memory");
    }
}
