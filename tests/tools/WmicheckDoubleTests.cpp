// wmicheck as a monitoring plugin against the WMI test double, where the
// instances are known: Double_Service holds svc1 (Running, ProcessId 104),
// svc2 (Stopped, 0) and svc3 (Running, 312), key Name. Each run is a real
// wmicheck.exe process in the double's prefix; its output is read back.
#include <algorithm>

#include "RunWmicheck.h"
#include "WmiDouble.h"

namespace {

std::vector<std::wstring> Service(std::vector<std::wstring> args) {
    args.insert(args.begin(), {L"--class", L"Double_Service"});
    return args;
}

bool Has(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// The state word the line starts with, for an exit code.
std::wstring LineStart(DWORD exitCode) {
    const wchar_t* names[] = {L"OK", L"WARNING", L"CRITICAL", L"UNKNOWN"};
    return exitCode < 4 ? std::wstring(L"WMI ") + names[exitCode] + L" - " : L"?";
}

// The text between "WMI STATE - " and " | ".
std::wstring TextOf(const std::wstring& line) {
    const size_t start = line.find(L" - ");
    const size_t bar = line.find(L" | ");
    if (start == std::wstring::npos) return L"";
    return line.substr(start + 3, bar == std::wstring::npos ? std::wstring::npos : bar - start - 3);
}

// The worst instance decides, critical over warning, and the text names the
// instances in the deciding state and no other.
TEST(WmicheckAgainstDouble, WorstStateAndMatchRules) {
    const struct {
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::vector<std::wstring> named, notNamed;
    } cases[] = {
        {{L"--property", L"ProcessId", L"-w", L"400"}, 0, {L"svc1", L"svc2", L"svc3"}, {}},
        {{L"--property", L"ProcessId", L"-w", L"100", L"-c", L"200"}, 2, {L"svc3"}, {L"svc1", L"svc2"}},
        {{L"--property", L"ProcessId", L"-w", L"300"}, 1, {L"svc3"}, {L"svc1", L"svc2"}},
        // Boundaries belong to the range: 0 is not below 0:, 312 not above ~:312.
        {{L"--property", L"ProcessId", L"-w", L"1:", L"-c", L"0:"}, 1, {L"svc2"}, {L"svc1", L"svc3"}},
        {{L"--property", L"ProcessId", L"-c", L"~:312"}, 0, {}, {}},
        {{L"--property", L"ProcessId", L"-c", L"@104:312"}, 2, {L"svc1", L"svc3"}, {L"svc2"}},
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Running", L"--match", L"all"}, 2, {L"svc2"},
         {L"svc1", L"svc3"}},
        // Any monitoring-plugin option makes every instance count: all by default.
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Running", L"--label", L"Name"}, 2, {L"svc2"},
         {L"svc1"}},
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Running", L"--match", L"any"}, 0,
         {L"svc1", L"svc3"}, {L"svc2"}},
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Running", L"--match", L"none"}, 2,
         {L"svc1", L"svc3"}, {L"svc2"}},
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Paused", L"--match", L"any"}, 2, {}, {}},
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Paused", L"--match", L"none"}, 0, {}, {}},
        {{L"--property", L"State", L"--op", L"dif", L"--value", L"Paused", L"--match", L"all"}, 0, {}, {}},
        // An operator and thresholds together: the worse of the two.
        {{L"--property", L"ProcessId", L"--op", L"MOR", L"--value", L"-1", L"-w", L"300"}, 1, {L"svc3"}, {}},
        // A value without a number is UNKNOWN, but never hides an alert.
        {{L"--property", L"Caption", L"-w", L"10"}, 3, {L"svc1", L"svc2", L"svc3"}, {}},
        {{L"--property", L"Name", L"--label", L"State", L"-w", L"10"}, 3, {L"Running", L"Stopped"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[1] + L" " + c.args[3]));
        const WmicheckRun run = RunWmicheck(Service(c.args));
        EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out + run.err);
        EXPECT_EQ(0u, run.out.find(LineStart(c.exitCode))) << Narrow(run.out);
        EXPECT_EQ(1, std::count(run.out.begin(), run.out.end(), L'\n')) << "one line";
        const std::wstring text = TextOf(run.Line());
        for (const std::wstring& name : c.named) EXPECT_TRUE(Has(text, name)) << Narrow(name + L" in " + text);
        for (const std::wstring& name : c.notNamed) EXPECT_FALSE(Has(text, name)) << Narrow(name + L" in " + text);
    }
}

// Derived values and units, and labels from each instance's own path.
// Double_Disk: C: 25 % free, D: a size of 0, E: no size; Win32_Processor:
// CPU0 at 35 %, CPU1 at 97 %.
TEST(WmicheckAgainstDouble, DerivedValuesUnitsAndLabels) {
    const struct {
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::vector<std::wstring> said;
        std::map<std::wstring, std::wstring> perf;  // label: value and unit
    } cases[] = {
        // An alert does not hide the instances without a value.
        {{L"--class", L"Double_Disk", L"--property", L"FreeSpace", L"--percent-of", L"Size", L"-w", L"30:", L"-c",
          L"10:"},
         1, {L"C: FreeSpace/Size=25%", L"D: Size is 0", L"E: Size is null"}, {{L"C:", L"25%"}}},
        {{L"--class", L"Double_Disk", L"--property", L"FreeSpace", L"--percent-of", L"Size", L"-w", L"20:"}, 3,
         {L"2 of 3", L"D: Size is 0", L"E: Size is null"}, {{L"C:", L"25%"}}},
        {{L"--class", L"Double_Disk", L"--property", L"FreeSpace", L"--percent-of", L"Size", L"--uom", L"none",
          L"--op", L"LES", L"--value", L"50", L"--match", L"none"},
         2, {L"C: FreeSpace/Size=25 (<50)"}, {{L"C:", L"25"}}},
        {{L"--class", L"Double_Service", L"--property", L"ProcessId", L"--percent-of", L"Name", L"-w", L"1"}, 3,
         {L"svc1 Name 'svc1' is not a number"}, {}},
        {{L"--class", L"Double_Service", L"--property", L"ProcessId", L"--percent-of", L"size", L"-w", L"1"}, 3,
         {L"--percent-of", L"has no property 'size'"}, {}},
        {{L"--class", L"Double_Service", L"--property", L"State", L"--age", L"-w", L"1"}, 3,
         {L"svc2 State 'Stopped' is no CIM datetime"}, {}},
        {{L"--class", L"Win32_Processor", L"--property", L"LoadPercentage", L"-w", L"80", L"-c", L"95", L"--uom",
          L"%"},
         2, {L"CPU1 LoadPercentage=97"}, {{L"CPU0", L"35%"}, {L"CPU1", L"97%"}}},
        // No key in the path (and none in the class): the position.
        {{L"--class", L"Bulk_2", L"--property", L"P01", L"--op", L"EXA", L"--value", L"x", L"--match", L"all"}, 2, {L"#1 ", L"#2 "},
         {}},
        // One instance takes the verb's singular.
        {{L"--class", L"Win32_OperatingSystem", L"--property", L"Caption", L"--op", L"CON", L"--value", L"Windows"}, 0,
         {L"1 Win32_OperatingSystem instance satisfies Caption CON Windows"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[1] + L" " + c.args[3] + L" " + c.args[5]));
        const WmicheckRun run = RunWmicheck(c.args);
        EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out + run.err);
        EXPECT_EQ(0u, run.out.find(LineStart(c.exitCode))) << Narrow(run.out);
        for (const std::wstring& part : c.said) EXPECT_TRUE(Has(run.out, part)) << Narrow(part + L" in " + run.out);
        const size_t bar = run.Line().find(L" | ");
        std::vector<PerfEntry> entries;
        if (bar != std::wstring::npos) {
            ASSERT_TRUE(ParsePerfData(run.Line().substr(bar + 3), &entries)) << Narrow(run.out);
        }
        std::map<std::wstring, std::wstring> perf;
        for (const PerfEntry& entry : entries) perf[entry.label] = entry.value + entry.uom;
        EXPECT_EQ(c.perf, perf) << Narrow(run.out);
    }
}

// Nothing found is never OK on its own, and a misspelt property is told
// apart from an empty result.
TEST(WmicheckAgainstDouble, EmptyResultsAndMissingProperties) {
    const struct {
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::vector<std::wstring> said;
    } cases[] = {
        {{L"--class", L"Double_Empty", L"--property", L"Id", L"-w", L"5"}, 3, {L"no instance"}},
        {{L"--class", L"Double_Empty", L"--property", L"Name", L"--op", L"EXA", L"--value", L"x", L"--match",
          L"none"},
         3, {L"no instance"}},
        {{L"--class", L"Double_Empty", L"--property", L"Id", L"-w", L"5", L"--allow-empty"}, 0, {L"no instance"}},
        // A count of none is a count: the ranges decide.
        {{L"--class", L"Double_Empty", L"--count", L"-c", L"0"}, 0, {L"'instances'=0;;0;0;"}},
        {{L"--class", L"Double_Service", L"--count", L"-c", L"2"}, 2, {L"'instances'=3;;2;0;", L"svc1"}},
        {{L"--class", L"Double_Service", L"--property", L"state", L"--op", L"EXA", L"--value", L"Running",
          L"--match", L"all"},
         3, {L"'state'", L"case-sensitive", L"close: State"}},
        {{L"--class", L"Double_Service", L"--property", L"ProcesId", L"-w", L"1"}, 3, {L"close: ProcessId"}},
        {{L"--class", L"Double_Service", L"--property", L"Xyzzy", L"-w", L"1"}, 3, {L"none of its properties"}},
        {{L"--class", L"Double_Service", L"--property", L"State", L"--op", L"EXA", L"--value", L"x", L"--label",
          L"name"},
         3, {L"--label", L"close: Name"}},
        {{L"--class", L"Double_NoSuchClass", L"--property", L"State", L"-w", L"1"}, 3, {L"0x80041010"}},
        {{L"--host", L"DOWN", L"--class", L"Double_Service", L"--count"}, 3, {L"0x800706BA"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[1] + L" " + c.args[3]));
        const WmicheckRun run = RunWmicheck(c.args);
        EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out + run.err);
        EXPECT_EQ(0u, run.out.find(LineStart(c.exitCode))) << Narrow(run.out);
        for (const std::wstring& part : c.said) EXPECT_TRUE(Has(run.out, part)) << Narrow(part + L" in " + run.out);
    }
}

// The performance data read back: one entry per instance, labelled by the
// key, the ranges as given in the warn and crit fields.
TEST(WmicheckAgainstDouble, PerformanceDataReadsBack) {
    const WmicheckRun run = RunWmicheck(Service({L"--property", L"ProcessId", L"-w", L"~:300", L"-c", L"@-1.5:0"}));
    EXPECT_EQ(2u, run.exitCode) << Narrow(run.out);
    const size_t bar = run.Line().find(L" | ");
    ASSERT_NE(std::wstring::npos, bar) << Narrow(run.out);
    std::vector<PerfEntry> entries;
    ASSERT_TRUE(ParsePerfData(run.Line().substr(bar + 3), &entries)) << Narrow(run.out);
    std::map<std::wstring, std::wstring> values;
    for (const PerfEntry& entry : entries) {
        values[entry.label] = entry.value;
        EXPECT_EQ(L"~:300", entry.warn);
        EXPECT_EQ(L"@-1.5:0", entry.crit);
    }
    const std::map<std::wstring, std::wstring> expected = {{L"svc1", L"104"}, {L"svc2", L"0"}, {L"svc3", L"312"}};
    EXPECT_EQ(expected, values);
}

TEST(WmicheckAgainstDouble, JsonReadsBack) {
    const WmicheckRun run = RunWmicheck(Service({L"--property", L"ProcessId", L"-w", L"200", L"--json"}));
    Json result;
    ASSERT_TRUE(JsonReader(run.Line()).Read(&result)) << Narrow(run.out);
    EXPECT_EQ(L"WARNING", result[L"state"].string);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(result[L"exit_code"].number));
    EXPECT_TRUE(Has(result[L"text"].string, L"svc3"));
    EXPECT_EQ(3, result[L"count"].number);
    std::map<std::wstring, std::pair<double, std::wstring>> instances;
    for (const Json& instance : result[L"instances"].items)
        instances[instance[L"label"].string] = {instance[L"value"].number, instance[L"state"].string};
    const std::map<std::wstring, std::pair<double, std::wstring>> expected = {
        {L"svc1", {104, L"OK"}}, {L"svc2", {0, L"OK"}}, {L"svc3", {312, L"WARNING"}}};
    EXPECT_EQ(expected, instances);

    // A failure is a JSON object too, with its text and no instances.
    const WmicheckRun failed = RunWmicheck({L"--host", L"DOWN", L"--class", L"Double_Service", L"--count", L"--json"});
    Json failure;
    ASSERT_TRUE(JsonReader(failed.Line()).Read(&failure)) << Narrow(failed.out);
    EXPECT_EQ(L"UNKNOWN", failure[L"state"].string);
    EXPECT_EQ(3u, failed.exitCode);
    EXPECT_EQ(Json::Type::Null, failure[L"count"].type);
    EXPECT_TRUE(failure[L"instances"].items.empty());
}

// The server LOCKED accepts only admin with its password: each source
// reaches WMI, and the password shows in no output, whatever happens.
TEST(WmicheckAgainstDouble, PasswordSourcesAndSecrecy) {
    const std::wstring password = L"Pa55 w\u00F6rd";
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring file = std::wstring(folder) + L"wmicheck-password.txt", missing = file + L".none";
    const std::wstring utf16File = file + L".utf16";
    auto write = [](const std::wstring& path, const std::string& bytes) {
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(handle);
    };
    // UTF-8 with a line break and a second line that is not part of it.
    write(file, "Pa55 w\xC3\xB6rd\r\nsecond line\r\n");
    // UTF-16 with its byte order mark, as Notepad saves "Unicode".
    const std::wstring utf16 = L"\xFEFF" + password + L"\n";
    write(utf16File, std::string(reinterpret_cast<const char*>(utf16.data()), utf16.size() * sizeof(wchar_t)));
    const std::wstring inEnvironment = L"WMICHECK_PASSWORD=" + password;
    const struct {
        const char* name;
        std::vector<std::wstring> args;
        std::vector<std::wstring> environment;
        DWORD exitCode;
    } cases[] = {
        {"--password", {L"--password", password}, {}, 0},
        {"--password-file", {L"--password-file", file}, {}, 0},
        {"--password-file in UTF-16", {L"--password-file", utf16File}, {}, 0},
        {"WMICHECK_PASSWORD", {}, {inEnvironment}, 0},
        {"--password-file over the environment", {L"--password-file", file}, {L"WMICHECK_PASSWORD=wrong"}, 0},
        {"--password over the environment", {L"--password", L"wrong"}, {inEnvironment}, 3},
        {"no password", {}, {}, 3},
        {"a missing file", {L"--password-file", missing}, {inEnvironment}, 3},
        {"both options", {L"--password", password, L"--password-file", file}, {}, 3},
        {"JSON", {L"--json"}, {inEnvironment}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> args = {L"--host", L"LOCKED", L"--user", L"admin", L"--class", L"Double_Service",
                                          L"--count"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const WmicheckRun run = RunWmicheck(args, c.environment);
        EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out + run.err);
        EXPECT_FALSE(Has(run.out + run.err, password)) << Narrow(run.out + run.err);
        EXPECT_FALSE(Has(run.out + run.err, L"Pa55")) << Narrow(run.out + run.err);
    }
    const WmicheckRun named = RunWmicheck({L"--class", L"Double_Service", L"--count", L"--password-file", missing});
    EXPECT_TRUE(Has(named.out, L"--password-file")) << Narrow(named.out);
    DeleteFileW(file.c_str());
    DeleteFileW(utf16File.c_str());
}

// Whatever WMI does, a run ends within its time-out and a margin, with a
// verdict; a crash inside WMI is an UNKNOWN with exit code 3, never 0.
TEST(WmicheckAgainstDouble, BoundedRunsAndCrashes) {
    // A property the instances lack reads the class's names, which stall.
    const WmicheckRun stalled =
        RunWmicheck({L"--class", L"Double_NamesStall", L"--property", L"Process", L"-w", L"1", L"--timeout", L"2"});
    EXPECT_EQ(3u, stalled.exitCode);
    EXPECT_EQ(L"WMI UNKNOWN - timed out after 2 s", stalled.Line());
    // 2 s, the 1 s margin and the process's start under Wine.
    EXPECT_LT(stalled.ms, 5000u);

    // The plug-in's check: bounded too (three steps of 1 s and a margin),
    // never exit 0, always a line.
    const WmicheckRun hostStalled = RunWmicheck(
        {L"--last-instance", L"--class", L"Double_NamesStall", L"--property", L"State", L"--op", L"EXA", L"--value",
         L"x", L"--timeout", L"1"});
    EXPECT_NE(0u, hostStalled.exitCode);
    EXPECT_FALSE(hostStalled.Line().empty());
    EXPECT_LT(hostStalled.ms, 7500u);

    const WmicheckRun crashed = RunWmicheck({L"--class", L"Double_Crash", L"--property", L"State", L"-w", L"1"});
    EXPECT_EQ(3u, crashed.exitCode);
    EXPECT_EQ(0u, crashed.Line().find(L"WMI UNKNOWN - wmicheck crashed: exception 0xC0000005")) << Narrow(crashed.out);
    const WmicheckRun crashedJson =
        RunWmicheck({L"--class", L"Double_Crash", L"--property", L"State", L"-w", L"1", L"--json"});
    Json result;
    EXPECT_TRUE(JsonReader(crashedJson.Line()).Read(&result)) << Narrow(crashedJson.out);
    EXPECT_EQ(3, result[L"exit_code"].number);

    // The plug-in's check runs the bridge in the multithreaded apartment too:
    // no proxy contains the crash.
    const WmicheckRun hostCrashed =
        RunWmicheck({L"--last-instance", L"--class", L"Double_Crash", L"--property", L"State", L"--op", L"EXA",
                     L"--value", L"x"});
    EXPECT_EQ(3u, hostCrashed.exitCode);
    EXPECT_EQ(0u, hostCrashed.Line().find(L"UNKNOWN: wmicheck crashed: exception 0xC0000005"))
        << Narrow(hostCrashed.out);
}

// What a run of wmicheck made the double record, from its record file.
struct RecordedRun {
    WmicheckRun run;
    std::wstring record;
    size_t Count(const std::wstring& call) const { return WmiDoubleRecordLines(record, call).size(); }
};

RecordedRun RunRecorded(const std::vector<std::wstring>& args) {
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"wdr", 0, file);
    RecordedRun recorded;
    recorded.run = RunWmicheck(args, {std::wstring(L"WMIDOUBLE_RECORD_FILE=") + file});
    recorded.record = ReadText(file);
    DeleteFileW(file);
    return recorded;
}

// The account forms an administrator types, in both modes, against a
// computer of the domain CORP: what reaches WMI over NTLM (the plug-in's
// service; AuthenticationServices below covers the others), and the verdict
// or text.
TEST(WmicheckAgainstDouble, AccountFormsReachWmiAsWindowsExpects) {
    const std::vector<std::wstring> monitoring = {L"--class", L"Double_Service", L"--property", L"State", L"--op",
                                                  L"EXA", L"--value", L"Running", L"--match", L"any", L"--auth",
                                                  L"ntlm"};
    const std::vector<std::wstring> lastInstance = {L"--last-instance", L"--class", L"Double_Service", L"--property",
                                                    L"State", L"--op", L"EXA", L"--value", L"Running"};
    const struct {
        const char* name;
        std::vector<std::wstring> account;
        std::vector<std::wstring> reached;  // in the ConnectServer line: the user and the authority
        DWORD monitoringExit, lastInstanceExit;
        const wchar_t* said;  // in monitoring mode
    } cases[] = {
        {"domain account", {L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password", L"M0nitor!"},
         {L"user=\"monitor\" password=\"M0nitor!\"", L"authority=\"ntlmdomain:CORP\""}, 0, 0,
         L"satisfy State EXA Running"},
        {"--domain", {L"-H", L"APP01", L"--user", L"monitor", L"--domain", L"CORP", L"--password", L"M0nitor!"},
         {L"user=\"monitor\" password=\"M0nitor!\"", L"authority=\"ntlmdomain:CORP\""}, 0, 0,
         L"satisfy"},
        {"user principal name", {L"-H", L"app01.corp.example", L"--user", L"monitor@corp.example", L"--password",
                                 L"M0nitor!"},
         {L"user=\"monitor@corp.example\" password=\"M0nitor!\"", L"authority=(null)"}, 0, 0,
         L"satisfy"},
        {"local account", {L"-H", L"APP01", L"--user", L"APP01\\localmon", L"--password", L"L0calmon!"},
         {L"user=\"localmon\" password=\"L0calmon!\"", L"authority=\"ntlmdomain:APP01\""}, 0, 0,
         L"satisfy"},
        {"wrong password", {L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password", L"wrong"},
         {L"authority=\"ntlmdomain:CORP\""}, 3, 2, L"access denied to CORP\\monitor on APP01"},
        {"a bare user is the computer's own account", {L"-H", L"APP01", L"--user", L"monitor", L"--password",
                                                       L"M0nitor!"},
         {L"user=\"monitor\" password=\"M0nitor!\"", L"authority=\"ntlmdomain:APP01\""}, 3, 2,
         L"APP01's own account"},
        {"the local computer", {L"--user", L"CORP\\monitor", L"--password", L"M0nitor!"},
         {L"authority=\"ntlmdomain:CORP\""}, 3, 2, L"leave --user out"},
    };
    for (const auto& c : cases) {
        for (bool plugin : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (plugin ? ", monitoring" : ", --last-instance"));
            std::vector<std::wstring> args = plugin ? monitoring : lastInstance;
            args.insert(args.end(), c.account.begin(), c.account.end());
            const RecordedRun recorded = RunRecorded(args);
            for (const std::wstring& part : c.reached) EXPECT_TRUE(Has(recorded.record, part)) << Narrow(recorded.record);
            EXPECT_EQ(plugin ? c.monitoringExit : c.lastInstanceExit, recorded.run.exitCode)
                << Narrow(recorded.run.out);
            if (plugin) {
                EXPECT_TRUE(Has(recorded.run.out, c.said)) << Narrow(recorded.run.out);
            }
            EXPECT_FALSE(Has(recorded.record, L"Denied") || Has(recorded.record, L"lagged")) << Narrow(recorded.record);
        }
    }
}

// --print-param shows the account as the host would store it: the domain
// in DOM, the user without it.
TEST(WmicheckAgainstDouble, PrintParamHoldsTheDomain) {
    const WmicheckRun run = RunWmicheck({L"--print-param", L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password",
                                         L"M0nitor!", L"--class", L"Double_Service", L"--property", L"State", L"--op",
                                         L"EXA", L"--value", L"Running"});
    EXPECT_EQ(0u, run.exitCode) << Narrow(run.out);
    EXPECT_TRUE(Has(run.out, L"#USR=monitor#") && Has(run.out, L"#DOM=CORP#")) << Narrow(run.out);
}

// In monitoring mode a check asks the computer for no more than a script
// would: the connection, the query and its batches; the class only when
// a property is missing.
TEST(WmicheckAgainstDouble, MonitoringModeMakesOnlyTheScriptsRoundTrips) {
    const RecordedRun plain = RunRecorded(Service({L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password",
                                                   L"M0nitor!", L"--property", L"ProcessId", L"-w", L"400"}));
    EXPECT_EQ(0u, plain.run.exitCode) << Narrow(plain.run.out);
    EXPECT_EQ(1u, plain.Count(L"ConnectServer"));
    EXPECT_EQ(1u, plain.Count(L"ExecQuery"));
    EXPECT_EQ(1u, plain.Count(L"Next"));
    EXPECT_EQ(0u, plain.Count(L"GetObject") + plain.Count(L"GetResultObject")) << Narrow(plain.record);
    const RecordedRun missing = RunRecorded(Service({L"--property", L"ProcesId", L"-w", L"1"}));
    EXPECT_TRUE(Has(missing.run.out, L"close: ProcessId")) << Narrow(missing.run.out);
    EXPECT_EQ(1u, missing.Count(L"GetObject")) << "the class, for the names close to the missing one";
}

// --diagnose through the double: each branch, the account as it reached
// WMI and what to check.
TEST(WmicheckAgainstDouble, DiagnoseSaysWhatToFix) {
    const struct {
        const char* name;
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::vector<std::wstring> said;
    } cases[] = {
        {"a working remote computer",
         {L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password", L"M0nitor!"},
         0,
         {L"[OK] qvWMI.dll registered", L"[OK] ostrel.dll registered", L"[OK] COM security",
          L"[OK] connected to \\\\.\\root\\cimv2", L"[OK] connected to \\\\APP01\\root\\cimv2 as CORP\\monitor "
          L"(user CORP\\monitor, authority none)", L"authenticated with Kerberos",
          L"[OK] Win32_OperatingSystem on APP01: 1 instance", L"DIAGNOSE OK"}},
        {"access denied",
         {L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password", L"wrong"},
         2,
         {L"[CRITICAL] cannot connect to \\\\APP01\\root\\cimv2 as CORP\\monitor", L"Remote Enable",
          L"DIAGNOSE CRITICAL"}},
        {"a computer that is down", {L"-H", L"DOWN", L"-t", L"5"}, 2, {L"RPC server unavailable", L"WMI-In"}},
        {"negotiate with an address",
         {L"-H", L"192.0.2.21", L"--user", L"CORP\\monitor", L"--password", L"M0nitor!"},
         0,
         {L"authenticated with NTLM (Kerberos cannot authenticate to an IP address"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> args = {L"--diagnose"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const WmicheckRun run = RunWmicheck(args);
        EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out);
        for (const std::wstring& part : c.said) EXPECT_TRUE(Has(run.out, part)) << Narrow(part + L" in " + run.out);
        EXPECT_FALSE(Has(run.out, L"wrong") || Has(run.out, L"M0nitor!")) << "no password in the output";
    }
}

// --exclude leaves instances out before the count, the ranges and --match;
// a property the class lacks leaves nothing out and breaks no query.
TEST(WmicheckAgainstDouble, ExclusionsLeaveInstancesOut) {
    const struct {
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::vector<std::wstring> said, notSaid;  // said: in stdout or stderr; notSaid: in stdout
    } cases[] = {
        {{L"--property", L"State", L"--op", L"EXA", L"--value", L"Running", L"--exclude", L"State=STOPPED", L"-v"}, 0,
         {L"all 2 Double_Service instances satisfy", L"1 instance left out by --exclude"}, {L"svc2"}},
        {{L"--count", L"-c", L"1", L"--exclude", L"Name=svc1", L"--exclude", L"Name=SVC3"}, 0,
         {L"'instances'=1;;1;0;"}, {L"svc1", L"svc3"}},
        {{L"--count", L"-c", L"2", L"--exclude", L"DelayedAutoStart=true", L"-v"}, 2,
         {L"'instances'=3;;2;0;", L"0 instances left out by --exclude"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[1] + L" " + c.args[c.args.size() - 2]));
        const WmicheckRun run = RunWmicheck(Service(c.args));
        EXPECT_EQ(c.exitCode, run.exitCode) << Narrow(run.out + run.err);
        for (const std::wstring& part : c.said) EXPECT_TRUE(Has(run.out + run.err, part)) << Narrow(part);
        for (const std::wstring& part : c.notSaid) EXPECT_FALSE(Has(TextOf(run.Line()), part)) << Narrow(run.out);
    }
}

// One deadline for a run: a slow connection leaves the query only the rest
// of the time-out, so the step's own text and advice arrive before the
// watchdog's generic line.
TEST(WmicheckAgainstDouble, StepsShareOneDeadline) {
    const WmicheckRun run = RunWmicheck(
        {L"--namespace", L"root\\stall2000", L"--class", L"Double_NextStall", L"--count", L"-t", L"3"});
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_EQ(0u, run.Line().find(L"WMI UNKNOWN - cannot query Double_NextStall")) << Narrow(run.out);
    EXPECT_TRUE(Has(run.Line(), L"left of the time-out")) << Narrow(run.out);
    EXPECT_LT(run.ms, 4500u);

    // --diagnose against computers whose connection stalls: each step says
    // what ran out and what to do.
    const WmicheckRun diagnose = RunWmicheck({L"--diagnose", L"-t", L"1", L"--namespace", L"root\\stall5000", L"-H",
                                              L"APP01", L"--user", L"CORP\\monitor", L"--password", L"M0nitor!"});
    EXPECT_EQ(2u, diagnose.exitCode) << Narrow(diagnose.out);
    for (const wchar_t* part : {L"[CRITICAL] cannot connect to \\\\.\\root\\stall5000",
                                L"0x800705B4 this computer did not connect within the 1 s left of the time-out",
                                L"[CRITICAL] cannot connect to \\\\APP01\\root\\stall5000", L"give a longer --timeout",
                                L"DIAGNOSE CRITICAL"})
        EXPECT_TRUE(Has(diagnose.out, part)) << Narrow(std::wstring(part) + L" in " + diagnose.out);
}

// --auth against the domain's computers: the verdict and the service the
// connection reports. HARD01 refuses NTLM; CORP\protmon is in Protected
// Users; 192.0.2.21 is APP01 named by its address (no Kerberos).
TEST(WmicheckAgainstDouble, AuthenticationServices) {
    const std::vector<std::wstring> check = {L"--class", L"Double_Service", L"--count", L"-c", L"5", L"-v"};
    const WmicheckRun probe = RunWmicheck({L"--class", L"Double_Service", L"--count", L"--auth", L"ntlm"});
    if (Has(probe.out, L"the bridge does not offer --auth")) GTEST_SKIP() << "this bridge has no IQvWMIAccess2";
    struct Outcome {
        DWORD exitCode;
        const wchar_t* said;
    };
    const Outcome kerberos = {0, L"authenticated with Kerberos"}, ntlm = {0, L"authenticated with NTLM"};
    const Outcome ntlmRefused = {3, L"the domain may restrict NTLM or the account may be in Protected Users"};
    const struct {
        const wchar_t* host;
        const wchar_t *user, *password;
        Outcome negotiate, kerberos, ntlm;
    } cases[] = {
        {L"APP01", L"CORP\\monitor", L"M0nitor!", kerberos, kerberos, ntlm},
        {L"HARD01", L"CORP\\monitor", L"M0nitor!", kerberos, kerberos, ntlmRefused},
        {L"192.0.2.21", L"CORP\\monitor", L"M0nitor!", ntlm,
         {3, L"--auth kerberos cannot authenticate to an IP address (192.0.2.21)"}, ntlm},
        {L"APP01", L"CORP\\protmon", L"Pr0tected!", kerberos, kerberos, ntlmRefused},
    };
    for (const auto& c : cases) {
        for (const auto& [auth, outcome] : {std::pair{L"negotiate", c.negotiate}, std::pair{L"kerberos", c.kerberos},
                                            std::pair{L"ntlm", c.ntlm}}) {
            SCOPED_TRACE(Narrow(std::wstring(c.host) + L" " + c.user + L" --auth " + auth));
            std::vector<std::wstring> args = check;
            args.insert(args.end(), {L"-H", c.host, L"--user", c.user, L"--password", c.password, L"--auth", auth});
            const WmicheckRun run = RunWmicheck(args);
            EXPECT_EQ(outcome.exitCode, run.exitCode) << Narrow(run.out + run.err);
            EXPECT_TRUE(Has(run.out + run.err, outcome.said)) << Narrow(run.out + run.err);
            EXPECT_FALSE(Has(run.out + run.err, c.password));
        }
    }
    // A namespace that requires privacy, asked for at a lower level.
    const WmicheckRun cluster = RunWmicheck({L"--namespace", L"root\\MSCluster", L"--class", L"Double_Service",
                                             L"--count", L"-H", L"APP01", L"--user", L"CORP\\monitor", L"--password",
                                             L"M0nitor!", L"--auth-level", L"5"});
    EXPECT_EQ(3u, cluster.exitCode);
    EXPECT_TRUE(Has(cluster.out, L"use --auth-level 6")) << Narrow(cluster.out);
}

}  // namespace
