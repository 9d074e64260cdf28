#include "Diagnose.h"

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cmath>
#include <string>
#include <vector>

#include "../common/Raii.h"
#include "Argument.h"
#include "CommandLine.h"
#include "Console.h"
#include "PluginCheck.h"
#include "PluginOutput.h"
#include "ostrel_h.h"
#include "qvWMI_h.h"
#include "release_version.h"
#include "Utf.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Step {
    State state;
    std::wstring text;
};

class Report {
public:
    void Add(State state, const std::wstring& text) {
        steps_.push_back({state, text});
        WriteLine(Stream::Out, L"[" + Wide(StateName(state)) + L"] " + text);
    }
    // The closing line, and the exit code.
    int Close() const {
        std::vector<DiagnoseStep> steps;
        for (const Step& step : steps_) steps.push_back({step.state, Utf8(step.text)});
        State worst = State::Ok;
        WriteLine(Stream::Out, Wide(DiagnoseClosing(steps, 0, &worst)));
        return ExitCode(worst);
    }

private:
    std::vector<Step> steps_;
};

std::wstring Ms(ULONGLONG start) { return std::to_wstring(GetTickCount64() - start) + L" ms"; }

std::wstring Code(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

bool WindowsIs64Bit() {
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The file a class is registered with in one registry view (KEY_WOW64_64KEY
// or KEY_WOW64_32KEY); "" when it is not registered there.
std::wstring RegisteredPath(const CLSID& clsid, REGSAM view) {
    wchar_t text[40];
    StringFromGUID2(clsid, text, 40);
    const std::wstring key = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS) return L"";
    com::UniqueRegKey owner(opened);
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = sizeof(path) - sizeof(wchar_t), type = 0;
    if (RegGetValueW(opened, nullptr, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, path,
                     &size) != ERROR_SUCCESS)
        return L"";
    if (type != REG_EXPAND_SZ) return path;
    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD length = ExpandEnvironmentStringsW(path, expanded, MAX_PATH * 2);
    return length && length <= MAX_PATH * 2 ? expanded : path;
}

// The file's version ("2.00.0010"), "" when it has none or cannot be read.
std::wstring FileVersion(const std::wstring& path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!size) return L"";
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info)
        return L"";
    wchar_t text[32];
    swprintf(text, 32, L"%u.%02u.%04u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             LOWORD(info->dwFileVersionLS));
    return text;
}

// One DLL in both registry views.
void CheckRegistration(Report* report, const CLSID& clsid, const wchar_t* dll, const wchar_t* progId) {
    const bool is64 = sizeof(void*) == 8;
    const REGSAM own = is64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const wchar_t* ownKind = is64 ? L"64-bit" : L"32-bit";
    const std::wstring path = RegisteredPath(clsid, own);
    std::wstring version;
    if (path.empty()) {
        report->Add(State::Critical, std::wstring(dll) + L" (" + progId + L") is not registered for " + ownKind +
                                         L" programs: run install.cmd of the " + (is64 ? L"x64" : L"x86") +
                                         L" package, or regsvr32 " + dll + L", from an elevated prompt");
    } else if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        report->Add(State::Critical, std::wstring(dll) + L" is registered at " + path +
                                         L", but no file is there: install the package again");
    } else {
        version = FileVersion(path);
        report->Add(State::Ok, std::wstring(dll) + L" registered for " + ownKind + L" programs: " + path +
                                   L", version " + (version.empty() ? L"unknown" : version));
    }
    if (!WindowsIs64Bit()) return;
    const wchar_t* otherKind = is64 ? L"32-bit" : L"64-bit";
    const std::wstring other = RegisteredPath(clsid, is64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    if (other.empty()) {
        report->Add(State::Ok, std::wstring(dll) + L" is not registered for " + otherKind + L" programs (only a " +
                                   otherKind + L" agent or script host needs it)");
        return;
    }
    const std::wstring otherVersion = FileVersion(other);
    if (!version.empty() && !otherVersion.empty() && otherVersion != version)
        report->Add(State::Warning, std::wstring(dll) + L" for " + otherKind + L" programs is another release (" +
                                        other + L", version " + otherVersion + L"): install the same release of "
                                        L"both packages");
    else
        report->Add(State::Ok, std::wstring(dll) + L" registered for " + otherKind + L" programs too: " + other +
                                   (otherVersion.empty() ? L"" : L", version " + otherVersion));
}

// Gives each step that asks a computer the time-out, or less when the
// self-test's limit is nearer, through the access object's Timeout.
class StepClock {
public:
    StepClock(IQvWMIAccess* access, const RunnerOptions& options)
        : access_(access),
          timeoutMs_(std::lround(options.timeoutSeconds * 1000)),
          limit_(DiagnoseLimitSeconds(options.timeoutSeconds)),
          deadline_(limit_ - 1) {}

    // The step's milliseconds; 0 (the step reported as skipped) when the
    // self-test's time is gone or the time-out cannot be set.
    long Begin(Report* report, const std::wstring& step) {
        const long left = deadline_.LeftMs();
        if (left <= 0) {
            report->Add(State::Critical, L"skipped " + step + L": the self-test's limit of " + SecondsText(limit_) +
                                             L" ran out before it (the steps before it took their time-outs)");
            return 0;
        }
        const long stepMs = left < timeoutMs_ ? left : timeoutMs_;
        SetErrorInfo(0, nullptr);
        const HRESULT hr = access_->put_Timeout(stepMs);
        if (FAILED(hr)) {
            report->Add(State::Critical, L"cannot set the time-out of " + step + L": " + DescribeFailure(hr));
            return 0;
        }
        SetErrorInfo(0, nullptr);
        return stepMs;
    }

private:
    IQvWMIAccess* access_;
    long timeoutMs_;
    double limit_;
    Deadline deadline_;
};

// A connection and a query of Win32_OperatingSystem through the bridge, as
// the account in options (none for the local computer).
void CheckComputer(Report* report, IQvWMIAccess* access, StepClock* clock, const RunnerOptions& options, Auth auth,
                   bool local) {
    const ReachingAccount account = local ? ReachingAccount() : AccountReachingWmi(options, auth);
    const std::wstring host = local ? L"." : Wide(options.host);
    const std::wstring where = L"\\\\" + host + L"\\" + Wide(options.nameSpace);
    const std::wstring as = account.Detailed();
    const bool withUser = !account.name.empty();
    ComPtr<IQvWMIServer> connected;
    long stepMs = clock->Begin(report, L"connecting to " + where);
    if (stepMs == 0) return;
    ULONGLONG start = GetTickCount64();
    HRESULT hr;
    {
        Argument server(host), nameSpace(Wide(options.nameSpace)), domain(Wide(options.domain), true);
        Argument user(withUser ? Wide(options.user) : L"", true), password(withUser ? Wide(options.password) : L"", !withUser);
        hr = access->Connect(server, nameSpace, domain, user, password, Argument::Omitted(), Argument(stepMs),
                             &connected);
    }
    if (FAILED(hr)) {
        const std::wstring advice = ConnectAdvice(hr, options, host, local ? Auth::Ntlm : auth, account, stepMs);
        report->Add(State::Critical, L"cannot connect to " + where + L" as " + as + L": " +
                                         (advice.empty() ? DescribeFailure(hr) : Code(hr) + L" " + advice));
        return;
    }
    const std::wstring with = AuthenticatedWith(connected.Get());
    // Negotiate falls back to NTLM where Kerberos cannot work: say why, since
    // a domain that restricts NTLM will refuse the same computer's checks.
    const bool fellBack =
        !local && auth == Auth::Negotiate && IsIpAddress(Utf8(host)) && with == L", authenticated with NTLM";
    report->Add(State::Ok, L"connected to " + where + L" as " + as + L" in " + Ms(start) + with +
                               (fellBack ? L" (Kerberos cannot authenticate to an IP address: give the computer's "
                                           L"DNS name for Kerberos)"
                                         : L""));

    ComPtr<IQvWMIServer2> querying;
    ComPtr<IQvWMIInstanceCollection> instances;
    stepMs = clock->Begin(report, L"querying Win32_OperatingSystem on " + host);
    if (stepMs == 0) return;
    HRESULT queried = connected.As(&querying);
    start = GetTickCount64();
    com::UniqueBstr path(SysAllocString(L"Win32_OperatingSystem"));
    if (SUCCEEDED(queried)) queried = querying->Instances(path.get(), Argument::Omitted(), &instances);
    long count = 0;
    if (SUCCEEDED(queried)) queried = instances->get_Count(&count);
    if (FAILED(queried)) {
        const std::wstring advice = QueryAdvice(queried, options, host, stepMs);
        report->Add(State::Critical, L"cannot query Win32_OperatingSystem on " + host + L": " +
                                         (advice.empty() ? DescribeFailure(queried) : Code(queried) + L" " + advice));
        return;
    }
    std::wstring caption;
    ComPtr<IQvWMIInstance> first;
    com::UniqueVariant value;
    com::UniqueBstr name(SysAllocString(L"Caption"));
    if (count > 0 && SUCCEEDED(instances->get_Item(0, &first)) && SUCCEEDED(first->get_Field(name.get(), value.put())) &&
        V_VT(value.get()) == VT_BSTR && V_BSTR(value.get()))
        caption = V_BSTR(value.get());
    report->Add(count > 0 ? State::Ok : State::Critical,
                L"Win32_OperatingSystem on " + host + L": " + std::to_wstring(count) + L" instance" +
                    (count == 1 ? L"" : L"s") + (caption.empty() ? L"" : L" (" + caption + L")") + L" in " + Ms(start));
}

}  // namespace

double DiagnoseLimitSeconds(double timeoutSeconds) { return 4 * timeoutSeconds + 2; }

int RunDiagnose(const RunnerOptions& options) {
    Report report;
    const bool is64 = sizeof(void*) == 8;
    wchar_t release[32];
    swprintf(release, 32, L"%d.%d.%d", RELEASE_VERSION_MAJOR, RELEASE_VERSION_MINOR, RELEASE_VERSION_BUILD);
    report.Add(State::Ok, std::wstring(L"wmicheck ") + release + L", a " + (is64 ? L"64" : L"32") +
                              L"-bit process on " + (WindowsIs64Bit() ? L"64" : L"32") + L"-bit Windows" +
                              (!is64 && WindowsIs64Bit() ? L": it uses the DLLs registered for 32-bit programs" : L""));

    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(joined)) {
        report.Add(State::Unknown, L"cannot join the multithreaded apartment: " + DescribeFailure(joined));
        return report.Close();
    }
    // First, before any other call could set it up with the defaults.
    const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, static_cast<DWORD>(options.authLevel),
                                                  static_cast<DWORD>(options.impLevel), nullptr, EOAC_NONE, nullptr);
    if (security == RPC_E_TOO_LATE)
        report.Add(State::Ok, L"COM security of this process was set before");
    else if (FAILED(security))
        report.Add(State::Critical, L"COM security could not be set: " + DescribeFailure(security));
    else
        report.Add(State::Ok, L"COM security set: authentication level " + std::to_wstring(options.authLevel) +
                                  L", impersonation level " + std::to_wstring(options.impLevel));

    CheckRegistration(&report, CLSID_QvWMIAccess, L"qvWMI.dll", L"QvWMI.Access");
    CheckRegistration(&report, CLSID_WMICom, L"ostrel.dll", L"ostrel.WMICom");

    {
        ComPtr<IQvWMIAccess> access;
        SetErrorInfo(0, nullptr);
        Auth auth = Auth::Ntlm;
        HRESULT hr = CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&access));
        if (SUCCEEDED(hr)) hr = SetUpAccess(access.Get(), options, &auth);
        if (hr == E_NOINTERFACE && options.authGiven) {
            report.Add(State::Critical, kBridgeLacksAuth);
        } else if (FAILED(hr)) {
            report.Add(State::Critical, L"cannot set up the WMI bridge: " + DescribeFailure(hr));
        } else {
            StepClock clock(access.Get(), options);
            CheckComputer(&report, access.Get(), &clock, options, auth, true);
            const std::string& host = options.host;
            if (host != "." && !host.empty()) CheckComputer(&report, access.Get(), &clock, options, auth, false);
        }
    }
    CoUninitialize();
    return report.Close();
}
