// Round trips to a remote computer: one check of Double_Service on a
// computer of the WMI test double whose every round trip (connection,
// class fetch, call result, query, batch, and the enumerator's clone and
// reset that the scripting API asks for) takes 20 ms, made three ways:
// wmicheck as a monitoring plugin, wmicheck running the plug-in's check
// (--last-instance), and the same query through the platform's scripting
// API from VBScript. Each run is a process of its own; the double writes
// what reached it to a file (WMIDOUBLE_RECORD_FILE), from which the calls
// are counted. The time is the check's own, as each way reports it (wmicheck
// -v, the script's Timer), without the process's start.
// Usage: round_trips.exe [runs=5] [latency-ms=20]   (in build*/wineprefix-double)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring Here() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::wstring TempFile() {
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"rtr", 0, file);
    return file;
}

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

// Runs command with extra environment entries; returns what it wrote to
// stdout and stderr (both to one file).
std::string Run(const std::wstring& command, const std::vector<std::wstring>& extra) {
    std::wstring environment;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) environment.append(entry).push_back(L'\0');
    FreeEnvironmentStringsW(block);
    for (const std::wstring& entry : extra) environment.append(entry).push_back(L'\0');
    environment.push_back(L'\0');
    const std::wstring output = TempFile();
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    PROCESS_INFORMATION process = {};
    std::wstring line = command;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &environment[0],
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "bench: cannot start %ls\n", command.c_str());
        std::exit(1);
    }
    CloseHandle(file);
    WaitForSingleObject(process.hProcess, 120000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::string text = ReadAll(output);
    DeleteFileW(output.c_str());
    return text;
}

// The number after key in text, -1 when there is none.
long NumberAfter(const std::string& text, const char* key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + std::strlen(key));
}

struct Way {
    const char* name;
    std::wstring command;
    const char* timeKey;  // the check's own time in its output
};

const char* const kCalls[] = {"ConnectServer", "GetObject", "GetResultObject", "ExecQuery", "Next", "Clone", "Reset"};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int latency = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::wstring wmicheck = L"\"" + Here() + L"wmicheck.exe\"";
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring check = L" -v -H SRV01 --class Double_Service --property State --op EXA --value Running";
    const Way ways[] = {
        {"wmicheck, monitoring plugin", wmicheck + check + L" --match any", "the check returned in "},
        {"wmicheck, the plug-in's check", wmicheck + check + L" --last-instance", "the check returned in "},
        {"the scripting API (VBScript)",
         L"\"" + std::wstring(system) + L"\\cscript.exe\" //nologo \"" + std::wstring(QVWMI_ROUND_TRIPS_SCRIPT) +
             L"\" SRV01 Double_Service",
         "ms="},
    };
    std::printf("round trips to a remote computer of the WMI test double, %d ms each, one check of Double_Service "
                "(3 instances), %d runs each:\n", latency, runs);
    std::printf("  %-32s %8s %9s %10s %9s %5s %6s %6s   %s\n", "", "connect", "GetObject", "GetResult", "ExecQuery",
                "Next", "Clone+", "total", "time of one check (median)");
    long scriptCalls = -1, monitoringCalls = -1;
    for (const Way& way : ways) {
        std::map<std::string, long> calls;
        std::vector<long> times;
        for (int run = 0; run < runs; ++run) {
            const std::wstring record = TempFile();
            const std::string output =
                Run(way.command, {L"WMIDOUBLE_LATENCY_MS=" + std::to_wstring(latency), L"WMIDOUBLE_RECORD_FILE=" + record});
            const std::string lines = ReadAll(record);
            DeleteFileW(record.c_str());
            calls.clear();
            // One line per call; its first word names the call.
            for (size_t at = 0; at < lines.size();) {
                size_t end = lines.find('\n', at);
                if (end == std::string::npos) end = lines.size();
                const std::string line = lines.substr(at, end - at);
                ++calls[line.substr(0, line.find(' '))];
                at = end + 1;
            }
            const long ms = NumberAfter(output, way.timeKey);
            if (ms < 0) {
                std::fprintf(stderr, "bench: %s printed no time: %s\n", way.name, output.c_str());
                return 1;
            }
            times.push_back(ms);
        }
        std::sort(times.begin(), times.end());
        long total = 0;
        for (const char* call : kCalls) total += calls[call];
        std::printf("  %-32s %8ld %9ld %10ld %9ld %5ld %6ld %6ld   %ld ms\n", way.name, calls["ConnectServer"],
                    calls["GetObject"], calls["GetResultObject"], calls["ExecQuery"], calls["Next"],
                    calls["Clone"] + calls["Reset"], total, times[times.size() / 2]);
        if (way.timeKey[0] == 'm') scriptCalls = total;
        else if (monitoringCalls < 0) monitoringCalls = total;
    }
    std::printf("  monitoring mode: %ld calls, the script: %ld (aim: no more) %s\n", monitoringCalls, scriptCalls,
                monitoringCalls <= scriptCalls ? "met" : "MISSED");
    return 0;
}
