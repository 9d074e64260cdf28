// wmicheck: runs one WMI check the way the monitoring host does. It creates
// ostrel.WMICom in a single-threaded apartment, puts the host name, time-out
// and parameter string, calls km_docheck and prints km_result on one line.
// Exit codes: 0 the condition holds, 2 it does not (an error text included),
// 3 the check could not run (km_docheck raised an error, or no plug-in).
// With --configure it opens the plug-in's configuration form instead, as the
// host does, and prints km_parameter once the form is closed.
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "ParameterString.h"
#include "ostrel_h.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kHolds = 0, kFails = 2, kUnknown = 3;

const wchar_t kUsage[] =
    L"usage: wmicheck [--host NAME] [--timeout SECONDS] (--param STRING | CHECK OPTIONS) [--print-param]\n"
    L"       wmicheck --configure [--host NAME] [--timeout SECONDS] [--param STRING]\n"
    L"\n"
    L"Runs one WMI check through the plug-in ostrel.WMICom and prints its result.\n"
    L"  --configure          open the plug-in's configuration form for the check (a new\n"
    L"                       one without --param) and print the parameter string it\n"
    L"                       leaves: the new one after OK, the given one after the close box\n"
    L"  --host NAME          computer to check (default \".\", the local one)\n"
    L"  --timeout SECONDS    time-out of the connection and the query (default 30)\n"
    L"  --param STRING       a whole check parameter string, as the host stores it\n"
    L"check options, composed into a parameter string:\n"
    L"  --namespace NS       WMI namespace (default root\\cimv2)\n"
    L"  --class CLASS        WMI class, e.g. Win32_Service\n"
    L"  --filter WQL         condition of the instance query, e.g. \"Name='Eventlog'\"\n"
    L"  --property NAME      property to compare (case-sensitive)\n"
    L"  --op CODE            CON, NCO, EXA, DIF, LES, LEQ, MOR or MEQ\n"
    L"  --value TEXT         compare value\n"
    L"  --user USER --password PASSWORD   credentials (DOMAIN\\user allowed)\n"
    L"  --auth-level N       authentication level 0..6 (default 4, Packet)\n"
    L"  --imp-level N        impersonation level 0, 2, 3 or 4 (default 3, Impersonate)\n"
    L"  --print-param        print the parameter string before the check\n"
    L"exit codes: 0 the condition holds, 2 it does not, 3 the check could not run\n"
    L"            (--configure: 0 the form was shown and closed, 3 it could not be shown)\n";

void PrintLine(const std::wstring& text) {
    std::wstring line = text;
    for (wchar_t& c : line)
        if (c == L'\r' || c == L'\n') c = L' ';
    // Collapse the blank runs that a line break inside a description leaves.
    std::wstring collapsed;
    for (wchar_t c : line)
        if (!(c == L' ' && !collapsed.empty() && collapsed.back() == L' ')) collapsed += c;
    std::wprintf(L"%ls\n", collapsed.c_str());
}

std::wstring Describe(HRESULT hr) {
    ComPtr<IErrorInfo> info;
    BSTR description = nullptr;
    std::wstring text;
    if (GetErrorInfo(0, &info) == S_OK && info && SUCCEEDED(info->GetDescription(&description)) && description)
        text = description;
    SysFreeString(description);
    if (text.empty()) {
        wchar_t* buffer = nullptr;
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr) &&
            buffer)
            text = buffer;
        LocalFree(buffer);
    }
    wchar_t code[32];
    swprintf(code, 32, L"0x%08lX", static_cast<unsigned long>(hr));
    return std::wstring(code) + L" " + text;
}

VARIANT Text(const std::wstring& text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

using Options = std::map<std::wstring, std::wstring>;

std::wstring Option(const Options& options, const wchar_t* name, const wchar_t* fallback) {
    auto found = options.find(name);
    return found == options.end() ? std::wstring(fallback) : found->second;
}

// Creates ostrel.WMICom by its ProgID and puts the host's three members, as
// the monitoring host does before a check or a configuration. Prints why
// when the plug-in cannot be created.
ComPtr<_WMICom> CreatePlugin(const Options& options, const std::wstring& parameters) {
    CLSID clsid;
    ComPtr<_WMICom> plugin;
    HRESULT hr = CLSIDFromProgID(L"ostrel.WMICom", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &plugin);
    if (FAILED(hr)) {
        PrintLine(L"UNKNOWN: cannot create ostrel.WMICom: " + Describe(hr));
        return nullptr;
    }
    VARIANT host = Text(Option(options, L"host", L".")), timeout = Text(Option(options, L"timeout", L"30")),
            parameter = Text(parameters);
    plugin->put_km_hostname(host);
    plugin->put_km_timeout(timeout);
    plugin->put_km_parameter(parameter);
    VariantClear(&host);
    VariantClear(&timeout);
    VariantClear(&parameter);
    return plugin;
}

int Run(const Options& options) {
    auto option = [&](const wchar_t* name, const wchar_t* fallback) { return Option(options, name, fallback); };

    std::wstring parameters;
    if (options.count(L"param")) {
        parameters = option(L"param", L"");
    } else {
        CheckParameters fields;
        fields.nameSpace = option(L"namespace", L"root\\cimv2");
        fields.classPath = option(L"class", L"");
        fields.filter = option(L"filter", L"");
        fields.property = option(L"property", L"");
        fields.operatorCode = option(L"op", L"CON");
        fields.compareValue = option(L"value", L"");
        fields.user = option(L"user", L"");
        fields.password = option(L"password", L"");
        fields.authenticationLevel = std::wcstol(option(L"auth-level", L"4").c_str(), nullptr, 10);
        fields.impersonationLevel = std::wcstol(option(L"imp-level", L"3").c_str(), nullptr, 10);
        const wchar_t* rejected = nullptr;
        const HRESULT hr = ComposeParameterString(fields, &parameters, &rejected);
        if (FAILED(hr)) {
            std::fwprintf(stderr, L"wmicheck: cannot compose the parameter string (%ls): 0x%08lX\n",
                          rejected ? rejected : L"?", static_cast<unsigned long>(hr));
            return kUnknown;
        }
    }
    if (options.count(L"print-param")) std::wprintf(L"%ls\n", parameters.c_str());

    ComPtr<_WMICom> check = CreatePlugin(options, parameters);
    if (!check) return kUnknown;
    VARIANT_BOOL verdict = VARIANT_FALSE;
    SetErrorInfo(0, nullptr);
    const HRESULT hr = check->km_docheck(&verdict);
    if (FAILED(hr)) {
        PrintLine(L"UNKNOWN: the check raised an error: " + Describe(hr));
        return kUnknown;
    }
    VARIANT result;
    VariantInit(&result);
    check->get_km_result(&result);
    PrintLine(V_VT(&result) == VT_BSTR && V_BSTR(&result) ? V_BSTR(&result) : L"");
    VariantClear(&result);
    return verdict ? kHolds : kFails;
}

// --configure: the host's configuration call. km_showGUI returns once the
// user has closed the form.
int Configure(const Options& options) {
    for (const auto& entry : options)
        if (entry.first != L"configure" && entry.first != L"host" && entry.first != L"timeout" &&
            entry.first != L"param") {
            std::fwprintf(stderr, L"wmicheck: --configure takes only --host, --timeout and --param, not --%ls\n",
                          entry.first.c_str());
            return kUnknown;
        }
    ComPtr<_WMICom> check = CreatePlugin(options, Option(options, L"param", L""));
    if (!check) return kUnknown;

    SetErrorInfo(0, nullptr);
    const HRESULT hr = check->km_showGUI();
    if (FAILED(hr)) {
        PrintLine(L"UNKNOWN: the configuration form could not be shown: " + Describe(hr));
        return kUnknown;
    }
    VARIANT result;
    VariantInit(&result);
    check->get_km_parameter(&result);
    std::wprintf(L"%ls\n", V_VT(&result) == VT_BSTR && V_BSTR(&result) ? V_BSTR(&result) : L"");
    VariantClear(&result);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::map<std::wstring, std::wstring> options;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h") {
            std::fputws(kUsage, stdout);
            return 0;
        }
        if (arg.rfind(L"--", 0) != 0) {
            std::fwprintf(stderr, L"wmicheck: unexpected argument %ls\n%ls", arg.c_str(), kUsage);
            return kUnknown;
        }
        arg.erase(0, 2);
        if (arg == L"print-param" || arg == L"configure") {
            options[arg] = L"";
            continue;
        }
        if (i + 1 >= argc) {
            std::fwprintf(stderr, L"wmicheck: --%ls needs a value\n", arg.c_str());
            return kUnknown;
        }
        options[arg] = argv[++i];
    }
    const wchar_t* known[] = {L"host", L"timeout", L"param", L"namespace", L"class", L"filter", L"property", L"op",
                              L"value", L"user", L"password", L"auth-level", L"imp-level", L"print-param",
                              L"configure"};
    for (const auto& entry : options) {
        bool ok = false;
        for (const wchar_t* name : known) ok = ok || entry.first == name;
        if (!ok) {
            std::fwprintf(stderr, L"wmicheck: unknown option --%ls\n%ls", entry.first.c_str(), kUsage);
            return kUnknown;
        }
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return kUnknown;
    const int code = options.count(L"configure") ? Configure(options) : Run(options);
    CoUninitialize();
    return code;
}
