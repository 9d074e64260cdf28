// The common checks exactly as the README's "Common checks" gives them, each
// run as a wmicheck.exe process: against Wine's WMI in the shared prefix,
// and the CPU load (Wine's Win32_Processor has no LoadPercentage) and the
// automatic services (a default Windows Server's) against the WMI test
// double. The verdict is read back from the performance data: the exit code
// must be the worst state of the values under the ranges printed beside
// them.
#include <algorithm>
#include <cmath>

#include "RunWmicheck.h"
#include "Thresholds.h"

namespace {

struct Check {
    std::wstring line;                // as written, from "wmicheck" on
    std::vector<std::wstring> args;   // split as a prompt does: double quotes group
};

// The command lines in the README's section.
std::vector<Check> ReadmeChecks() {
    const std::wstring readme = ReadText(README_PATH);
    const size_t start = readme.find(L"\n## Common checks\n");
    const size_t end = readme.find(L"\n## ", start + 1);
    std::vector<Check> checks;
    if (start == std::wstring::npos) return checks;
    const std::wstring section = readme.substr(start, end - start);
    for (size_t line = section.find(L"\n    wmicheck "); line != std::wstring::npos;
         line = section.find(L"\n    wmicheck ", line + 1)) {
        const std::wstring text = section.substr(line + 14, section.find(L'\n', line + 1) - line - 14);
        std::vector<std::wstring> args(1);
        bool quoted = false;
        for (wchar_t c : text) {
            if (c == L'"') quoted = !quoted;
            else if (c == L' ' && !quoted) args.emplace_back();
            else args.back() += c;
        }
        checks.push_back({L"wmicheck " + text, args});
    }
    return checks;
}

bool Uses(const std::vector<std::wstring>& args, const wchar_t* word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

// Runs one check; checks the line's form and that its exit code is the
// worst state of its performance data; returns the entries.
std::vector<PerfEntry> RunCheck(const std::vector<std::wstring>& args, WmicheckRun* run) {
    *run = RunWmicheck(args);
    const std::wstring line = run->Line();
    EXPECT_LE(run->exitCode, 2u) << Narrow(run->out + run->err);
    EXPECT_EQ(1, std::count(run->out.begin(), run->out.end(), L'\n')) << "one line";
    const wchar_t* names[] = {L"WMI OK - ", L"WMI WARNING - ", L"WMI CRITICAL - "};
    if (run->exitCode <= 2) {
        EXPECT_EQ(0u, line.find(names[run->exitCode])) << Narrow(line);
    }
    std::vector<PerfEntry> entries;
    const size_t bar = line.find(L" | ");
    if (bar == std::wstring::npos) return entries;
    EXPECT_TRUE(ParsePerfData(line.substr(bar + 3), &entries)) << Narrow(line);
    State worst = State::Ok;
    for (const PerfEntry& entry : entries) {
        Range warning, critical;
        double value = 0;
        EXPECT_TRUE(ReadDecimal(Narrow(entry.value), &value)) << Narrow(entry.value);
        EXPECT_TRUE(entry.warn.empty() || warning.Parse(Narrow(entry.warn))) << Narrow(entry.warn);
        EXPECT_TRUE(entry.crit.empty() || critical.Parse(Narrow(entry.crit))) << Narrow(entry.crit);
        worst = Worse(worst, Classify(value, warning, critical));
    }
    EXPECT_EQ(static_cast<DWORD>(ExitCode(worst)), run->exitCode) << Narrow(line);
    return entries;
}

double SecondsSinceBoot() {
    struct {
        LARGE_INTEGER bootTime, currentTime, timeZoneBias;
        ULONG timeZoneId, reserved;
        ULONGLONG bootTimeBias, sleepTimeBias;
    } info = {};
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    // Class 3: SystemTimeOfDayInformation.
    if (!query || query(3, &info, sizeof info, nullptr) != 0) return -1;
    return (info.currentTime.QuadPart - info.bootTime.QuadPart) / 1e7;
}

TEST(CommonChecks, AgainstWine) {
    const auto checks = ReadmeChecks();
    ASSERT_EQ(7u, checks.size()) << "the README's common checks";
    for (const Check& check : checks) {
        const std::vector<std::wstring>& args = check.args;
        if (Uses(args, L"Win32_Processor")) continue;
        SCOPED_TRACE(Narrow(check.line));
        WmicheckRun run;
        const std::vector<PerfEntry> entries = RunCheck(args, &run);
        if (Uses(args, L"--count")) {
            ASSERT_EQ(1u, entries.size());
            EXPECT_EQ(L"instances", entries[0].label);
            if (Uses(args, L"Win32_Process")) {
                EXPECT_NE(L"0", entries[0].value) << "wmicheck itself runs";
            }
        } else if (Uses(args, L"--percent-of")) {
            ASSERT_FALSE(entries.empty()) << Narrow(run.out);
            for (const PerfEntry& entry : entries) {
                EXPECT_EQ(L"%", entry.uom);
                const double percent = std::stod(entry.value);
                EXPECT_TRUE(percent >= 0 && percent <= 100) << percent;
            }
            // Disks are labelled by their drive, from the instance's path.
            if (Uses(args, L"Win32_LogicalDisk")) {
                EXPECT_EQ(L"C:", entries[0].label);
            }
        } else if (Uses(args, L"--age")) {
            // The system's boot time in UTC, as the kernel reports it (under
            // Wine the start of the prefix's session), against the age read
            // from the local time and offset that WMI writes.
            ASSERT_EQ(1u, entries.size());
            EXPECT_EQ(L"s", entries[0].uom);
            EXPECT_NEAR(SecondsSinceBoot(), std::stod(entries[0].value), 5) << Narrow(run.out);
        } else {
            EXPECT_TRUE(entries.empty());
            EXPECT_EQ(0u, run.exitCode) << Narrow(run.out);
            EXPECT_NE(std::wstring::npos, run.out.find(L"State=Running")) << Narrow(run.out);
        }
    }
}

TEST(CommonChecks, ProcessorAgainstDouble) {
    for (const Check& check : ReadmeChecks()) {
        if (!Uses(check.args, L"Win32_Processor")) continue;
        WmicheckRun run;
        const std::vector<PerfEntry> entries = RunCheck(check.args, &run);
        ASSERT_EQ(2u, entries.size()) << Narrow(run.out);
        EXPECT_EQ(L"CPU0", entries[0].label);
        EXPECT_EQ(L"35", entries[0].value);
        EXPECT_EQ(L"97%", entries[1].value + entries[1].uom);
        EXPECT_EQ(2u, run.exitCode);
        return;
    }
    FAIL() << "no CPU check in the README";
}

// The automatic services check as shipped, over the double's copy of a
// default Windows Server: quiet where only delayed-start and trigger-started
// services are stopped, CRITICAL for one automatic service really stopped
// (the computer SVCFAIL01, whose Spooler is stopped).
TEST(CommonChecks, ServicesAgainstDouble) {
    const struct {
        const wchar_t* host;
        DWORD exitCode;
        const wchar_t* count;
        const wchar_t* named;
    } cases[] = {
        {L".", 0, L"0", nullptr},
        {L"SVCFAIL01", 2, L"1", L"Spooler"},
    };
    for (const Check& check : ReadmeChecks()) {
        if (!Uses(check.args, L"Win32_Service") || !Uses(check.args, L"--count")) continue;
        for (const auto& c : cases) {
            SCOPED_TRACE(Narrow(c.host));
            std::vector<std::wstring> args = check.args;
            args.insert(args.end(), {L"-H", c.host});
            WmicheckRun run;
            const std::vector<PerfEntry> entries = RunCheck(args, &run);
            EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out);
            ASSERT_EQ(1u, entries.size()) << Narrow(run.out);
            EXPECT_EQ(c.count, entries[0].value);
            if (c.named) {
                EXPECT_NE(std::wstring::npos, run.out.find(c.named)) << Narrow(run.out);
            }
        }
        return;
    }
    FAIL() << "no automatic services check in the README";
}

// --help shows common checks that are the README's, word for word.
TEST(CommonChecks, HelpShowsTheReadmesChecks) {
    std::vector<std::wstring> readme;
    for (const Check& check : ReadmeChecks()) readme.push_back(check.line);
    const WmicheckRun help = RunWmicheck({L"--help"});
    const size_t start = help.out.find(L"common checks");
    const size_t end = help.out.find(L"another computer", start);
    ASSERT_NE(std::wstring::npos, start);
    // Commands start with "  wmicheck"; deeper-indented lines continue them.
    std::vector<std::wstring> shown;
    std::wstring block = help.out.substr(start, end - start);
    block.erase(std::remove(block.begin(), block.end(), L'\r'), block.end());
    for (size_t at = 0; at < block.size();) {
        size_t next = block.find(L'\n', at);
        if (next == std::wstring::npos) next = block.size();
        const std::wstring line = block.substr(at, next - at);
        at = next + 1;
        if (line.rfind(L"  wmicheck ", 0) == 0) shown.push_back(line.substr(2));
        else if (line.rfind(L"           ", 0) == 0 && !shown.empty()) shown.back() += L" " + line.substr(11);
    }
    EXPECT_GE(shown.size(), 4u);
    for (const std::wstring& command : shown)
        EXPECT_NE(readme.end(), std::find(readme.begin(), readme.end(), command)) << Narrow(command);
}

}  // namespace
