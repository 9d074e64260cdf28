// The runner's plain rules: threshold ranges, the command line's checks,
// and the output forms read back.
#include "Derived.h"
#include "Options.h"
#include "PluginOutput.h"
#include "RunWmicheck.h"
#include "Thresholds.h"

namespace {

TEST(Range, ParsesEveryFormAndAlertsWithInclusiveEnds) {
    const struct {
        const wchar_t* range;
        std::vector<double> quiet, alerting;
    } cases[] = {
        {L"10", {0, 5, 10}, {-0.5, 10.01}},
        {L"10:", {10, 1e12}, {9.99, -10}},
        {L"~:10", {-1e12, 10}, {10.5}},
        {L"10:20", {10, 15, 20}, {9.9, 20.1}},
        {L"@10:20", {9.9, 20.1}, {10, 15, 20}},
        {L"@5", {-1, 5.5}, {0, 5}},
        {L"-10:-5", {-10, -5}, {-11, -4, 0}},
        {L"1.5:2.25", {1.5, 2.25}, {1.49, 2.26}},
        {L":3", {0, 3}, {-1, 4}},
        {L"~:", {-1e300, 1e300}, {}},
        {L"@~:0", {0.5}, {-7, 0}},
        {L"0", {0}, {-0.1, 0.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.range));
        Range range;
        ASSERT_TRUE(range.Parse(c.range));
        EXPECT_EQ(c.range, range.Text());
        for (double v : c.quiet) EXPECT_FALSE(range.Alerts(v)) << v;
        for (double v : c.alerting) EXPECT_TRUE(range.Alerts(v)) << v;
    }
}

TEST(Range, RefusesMalformedRanges) {
    for (const wchar_t* text : {L"", L"abc", L"20:10", L"@", L"~", L"1:2:3", L"1e3", L"+5", L"1,5", L" 5", L"5 ",
                                L"--5", L"5-", L"1..2", L"@@1", L"~5"}) {
        Range range;
        EXPECT_FALSE(range.Parse(text)) << Narrow(text);
        EXPECT_FALSE(range.IsSet());
    }
}

TEST(Range, CriticalBeatsWarningAndUnknownNeverHidesAnAlert) {
    Range warning, critical, unset;
    ASSERT_TRUE(warning.Parse(L"10"));
    ASSERT_TRUE(critical.Parse(L"20"));
    EXPECT_EQ(State::Ok, Classify(5, warning, critical));
    EXPECT_EQ(State::Warning, Classify(15, warning, critical));
    EXPECT_EQ(State::Critical, Classify(25, warning, critical));
    EXPECT_EQ(State::Ok, Classify(25, unset, unset));
    EXPECT_EQ(State::Unknown, Worse(State::Ok, State::Unknown));
    EXPECT_EQ(State::Warning, Worse(State::Unknown, State::Warning));
    EXPECT_EQ(State::Critical, Worse(State::Critical, State::Warning));
}

// Every bad command line is a usage error that names the option at fault.
TEST(Options, BadInputNamesTheOption) {
    const struct {
        std::vector<std::wstring> args;
        const wchar_t* named;
    } cases[] = {
        {{L"--auth-level", L"x"}, L"--auth-level"},
        {{L"--auth-level", L"7"}, L"--auth-level"},
        {{L"--imp-level", L"-1"}, L"--imp-level"},
        {{L"--imp-level", L"3.0"}, L"--imp-level"},
        {{L"--timeout", L"abc"}, L"--timeout"},
        {{L"--timeout", L"0"}, L"--timeout"},
        {{L"--timeout", L"-1"}, L"--timeout"},
        {{L"--op", L"XYZ"}, L"--op"},
        {{L"--colour", L"red"}, L"--colour"},
        {{L"-x"}, L"-x"},
        {{L"stray"}, L"argument 1"},
        {{L"--class", L"C", L"--count", L"--", L"more"}, L"argument 5"},
        {{L"--class", L"C", L"--count=1"}, L"--count takes no value"},
        {{L"--pass=x"}, L"--pass is ambiguous: --password or --password-file"},
        {{L"--class", L"C", L"--count", L"--exclude", L"Name"}, L"--exclude"},
        {{L"--last-instance", L"--class", L"C", L"--property", L"P", L"--exclude", L"Name=x"}, L"--exclude"},
        {{L"--last-instance", L"--class", L"C", L"--property", L"P", L"--auth", L"ntlm"}, L"--auth"},
        {{L"--class", L"C", L"--count", L"--auth", L"kerberos", L"-H", L"192.0.2.21"}, L"--auth kerberos"},
        {{L"--class", L"C", L"--count", L"--auth=kerberos", L"-H", L"[2001:db8::21]"}, L"IP address"},
        {{L"--class"}, L"--class"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"10:5"}, L"--warning"},
        {{L"--class", L"C", L"--property", L"P", L"-c", L"x"}, L"--critical"},
        {{L"--class", L"C", L"--property", L"P", L"--op", L"EXA", L"--match", L"most"}, L"--match"},
        {{L"--class", L"C", L"--property", L"P", L"--match", L"all"}, L"--op"},
        {{L"--class", L"C", L"-w", L"1"}, L"--property"},
        {{L"--property", L"P", L"-w", L"1"}, L"--class"},
        {{L"--class", L"C", L"--count", L"--op", L"EXA"}, L"--op"},
        {{L"--password", L"p", L"--password-file", L"f"}, L"--password-file"},
        {{L"--configure", L"--class", L"C"}, L"--class"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--uom", L"kg"}, L"--uom"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--uom", L"kb"}, L"--uom"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--age", L"--percent-of", L"S"}, L"--percent-of"},
        {{L"--class", L"C", L"--count", L"--age"}, L"--age"},
        {{L"--class", L"C", L"--percent-of", L"S", L"-w", L"1"}, L"--property"},
        {{L"--class", L"C", L"--property", L"P", L"--percent-of", L"", L"-w", L"1"}, L"--percent-of"},
        {{L"--class", L"C", L"--count", L"--uom", L"c"}, L"--uom"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--uom", L"ns"}, L"--uom"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--user", L"CORP\\"}, L"--user"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--domain", L"CORP"}, L"--domain"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--user", L"m@corp.example", L"--domain", L"CORP"},
         L"--domain"},
        {{L"--last-instance", L"--class", L"C", L"--property", L"P", L"--match", L"all"}, L"--match"},
        {{L"--param", L"#CLS=C#", L"--class", L"C"}, L"--class"},
        {{L"--diagnose", L"--class", L"C"}, L"--class"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[0]));
        RunnerOptions options;
        const std::wstring error = ParseArguments(c.args, &options);
        EXPECT_NE(std::wstring::npos, error.find(c.named)) << Narrow(error);
    }
}

// Check options alone make a monitoring-plugin check; the plug-in's
// last-instance rule needs its own option; a command line that cannot run
// is refused with its reason, whatever the mode.
TEST(Options, TheModeIsChosenOnlyByItsOptions) {
    const struct {
        std::vector<std::wstring> args;
        RunMode mode;
        const wchar_t* refusal;  // "" when it runs
    } cases[] = {
        {{}, RunMode::Plugin, L"--class is needed"},
        {{L"--class", L"Win32_Service"}, RunMode::Plugin, L"--property is needed"},
        {{L"--class", L"C", L"--property", L"P"}, RunMode::Plugin, L"--last-instance"},
        {{L"--class", L"C", L"--property", L"State", L"--op", L"EXA", L"--value", L"Running"}, RunMode::Plugin, L""},
        {{L"-H", L"SRV01", L"--class", L"C", L"--count"}, RunMode::Plugin, L""},
        {{L"--last-instance", L"--class", L"C", L"--property", L"P", L"--op", L"EXA"}, RunMode::Check, L""},
        {{L"--last-instance", L"--class", L"C"}, RunMode::Check, L"--property is needed"},
        {{L"--last-instance"}, RunMode::Check, L"--class is needed"},
        {{L"--print-param", L"--class", L"C", L"--property", L"P"}, RunMode::Check, L""},
        {{L"--param", L"#CLS=C#PRO=P#", L"-t", L"5"}, RunMode::Check, L""},
        {{L"--configure", L"--host", L"SRV01"}, RunMode::Configure, L""},
        {{L"--diagnose", L"-H", L"SRV01", L"--user", L"CORP\\monitor"}, RunMode::Diagnose, L""},
        {{L"-V"}, RunMode::Version, L""},
        {{L"--class", L"C", L"--help"}, RunMode::Help, L""},
        {{L"--password", L"S3cret", L"PW2", L"--last-instance"}, RunMode::Check, L"argument 3"},
        {{L"--colour", L"--diagnose"}, RunMode::Diagnose, L"--colour"},
        {{L"--diagnose", L"--auth", L"kerberos", L"-H", L"APP01"}, RunMode::Diagnose, L""},
    };
    for (const auto& c : cases) {
        RunnerOptions options;
        const std::wstring error = ParseArguments(c.args, &options);
        SCOPED_TRACE(Narrow(c.args.empty() ? L"(none)" : c.args[0]) + ": " + Narrow(error));
        EXPECT_EQ(c.mode, options.mode);
        if (*c.refusal) EXPECT_NE(std::wstring::npos, error.find(c.refusal));
        else EXPECT_EQ(L"", error);
    }
}

// The monitoring-plugin conventions' standard options, and the account forms
// as WMI will receive them.
TEST(Options, StandardOptionsAndAccountForms) {
    RunnerOptions options;
    EXPECT_EQ(L"", ParseArguments({L"-H", L"SRV01", L"-t", L"2.5", L"-v", L"-vv", L"--verbose", L"--class", L"C",
                                   L"--count"},
                                  &options));
    EXPECT_EQ(L"SRV01", options.host);
    EXPECT_EQ(2.5, options.timeoutSeconds);
    EXPECT_EQ(4, options.verbosity);
    RunnerOptions hostname;
    EXPECT_EQ(L"", ParseArguments({L"--hostname", L"srv02", L"--class", L"C", L"--count"}, &hostname));
    EXPECT_EQ(L"srv02", hostname.host);

    const struct {
        std::vector<std::wstring> args;
        const wchar_t *user, *domain, *authority, *name;
    } accounts[] = {
        {{L"-H", L"SRV01", L"--user", L"CORP\\monitor"}, L"monitor", L"CORP", L"ntlmdomain:CORP", L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"CORP/monitor"}, L"monitor", L"CORP", L"ntlmdomain:CORP", L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"monitor", L"--domain", L"CORP"}, L"monitor", L"CORP", L"ntlmdomain:CORP",
         L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"OLD\\monitor", L"--domain", L"CORP"}, L"monitor", L"CORP",
         L"ntlmdomain:CORP", L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"monitor@corp.example"}, L"monitor@corp.example", L"", L"",
         L"monitor@corp.example"},
        {{L"-H", L"SRV01", L"--user", L"localmon"}, L"localmon", L"", L"ntlmdomain:SRV01", L"SRV01\\localmon"},
        {{L"--user", L"localmon"}, L"localmon", L"", L"", L"localmon"},
        {{L"-H", L"SRV01"}, L"", L"", L"", L""},
    };
    for (const auto& c : accounts) {
        RunnerOptions account;
        std::vector<std::wstring> args = c.args;
        args.insert(args.end(), {L"--class", L"C", L"--count"});
        ASSERT_EQ(L"", ParseArguments(args, &account));
        const ReachingAccount reaching = AccountReachingWmi(account, Auth::Ntlm);
        SCOPED_TRACE(Narrow(c.name));
        EXPECT_EQ(c.user, account.user);
        EXPECT_EQ(c.domain, account.domain);
        EXPECT_EQ(c.authority, reaching.authority);
        EXPECT_EQ(c.name, reaching.name);
    }

    // The units of the plugin guidelines, and the default that follows a
    // derived value; "none" is no unit.
    const struct {
        std::vector<std::wstring> extra;
        const wchar_t* unit;
    } units[] = {
        {{}, L""},          {{L"--percent-of", L"S"}, L"%"}, {{L"--age"}, L"s"}, {{L"--age", L"--uom", L"none"}, L""},
        {{L"--uom", L"ms"}, L"ms"}, {{L"--uom", L"us"}, L"us"}, {{L"--uom", L"GB"}, L"GB"}, {{L"--uom", L"c"}, L"c"},
    };
    for (const auto& c : units) {
        std::vector<std::wstring> args = {L"--class", L"C", L"--property", L"P", L"-w", L"1"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunnerOptions withUnit;
        EXPECT_EQ(L"", ParseArguments(args, &withUnit));
        EXPECT_EQ(c.unit, withUnit.unit) << c.extra.size();
    }
}

// The forms getopt-based plugins are called with read the same: a value
// attached, separate or after "=", a value that begins with "-", UTF-8 both
// ways, flags and repeated -v; one process parses them all in turn.
TEST(Options, EveryGetoptFormReadsTheSame) {
    using Field = std::wstring (*)(const RunnerOptions&);
    const Field host = [](const RunnerOptions& o) { return o.host; };
    const Field warning = [](const RunnerOptions& o) { return o.warning.Text(); };
    const Field password = [](const RunnerOptions& o) { return o.password; };
    const Field verbosity = [](const RunnerOptions& o) { return std::to_wstring(o.verbosity); };
    const Field excludes = [](const RunnerOptions& o) {
        std::wstring all;
        for (const Exclusion& e : o.excludes) all += e.property + L"|" + e.value + L";";
        return all;
    };
    const struct {
        std::vector<std::wstring> args;
        Field field;
        const wchar_t* value;
    } cases[] = {
        {{L"--host", L"SRV01"}, host, L"SRV01"},
        {{L"--host=SRV01"}, host, L"SRV01"},
        {{L"--hostname=SRV01"}, host, L"SRV01"},
        {{L"-H", L"SRV01"}, host, L"SRV01"},
        {{L"-HSRV01"}, host, L"SRV01"},
        {{L"-w80"}, warning, L"80"},
        {{L"-w", L"-10:"}, warning, L"-10:"},
        {{L"--warning=-10:"}, warning, L"-10:"},
        {{L"--password", L"-S3cret"}, password, L"-S3cret"},
        {{L"--password=-S3 cr=et"}, password, L"-S3 cr=et"},
        {{L"--password", L"--"}, password, L"--"},
        {{L"--password", L"Gr\u00F6\u00DFe\u20AC\U0001F511"}, password, L"Gr\u00F6\u00DFe\u20AC\U0001F511"},
        {{L"--password", L""}, password, L""},
        {{L"-vv", L"-v", L"--verbose"}, verbosity, L"4"},
        {{L"-vvv", L"-Hx"}, verbosity, L"3"},
        {{L"--exclude=Name=a=b", L"--exclude", L"State="}, excludes, L"Name|a=b;State|;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[0]));
        std::vector<std::wstring> args = {L"--class", L"C", L"--property", L"P", L"--op", L"EXA"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunnerOptions options;
        EXPECT_EQ(L"", ParseArguments(args, &options));
        EXPECT_EQ(c.value, c.field(options));
    }
}

// A user is sent only with a password, where wmicheck itself connects.
TEST(Options, AUserNeedsAPassword) {
    const struct {
        std::vector<std::wstring> args;
        bool refused;
    } cases[] = {
        {{L"--class", L"C", L"--count", L"--user", L"u"}, true},
        {{L"--class", L"C", L"--count", L"--user", L"u", L"--password", L""}, true},
        {{L"--class", L"C", L"--count", L"--user", L"u", L"--password", L"p"}, false},
        {{L"--class", L"C", L"--count"}, false},
        {{L"--last-instance", L"--class", L"C", L"--property", L"P", L"--user", L"u"}, true},
        {{L"--param", L"#USR=u#CLS=C#PRO=P#"}, false},
        {{L"--diagnose", L"--user", L"u"}, false},
        {{L"--diagnose", L"-H", L"SRV01", L"--user", L"u"}, true},
    };
    for (const auto& c : cases) {
        RunnerOptions options;
        ASSERT_EQ(L"", ParseArguments(c.args, &options)) << Narrow(c.args.back());
        EXPECT_EQ(c.refused, !RefuseUserWithoutPassword(options).empty()) << Narrow(c.args.back());
    }
}

// Every run that exits 3 says why on stdout, in its mode's form, since
// engines show only stdout; the hint stays on stderr.
TEST(Options, EveryUsageErrorIsOnStdout) {
    const struct {
        std::vector<std::wstring> args;
        const wchar_t* start;
        const wchar_t* named;
    } cases[] = {
        {{L"--imp-level"}, L"WMI UNKNOWN - wmicheck: ", L"--imp-level"},
        {{L"--namespace", L"x", L"--imp-level", L"9"}, L"WMI UNKNOWN - wmicheck: ", L"--imp-level"},
        {{L"--last-instance", L"--colour", L"red"}, L"UNKNOWN: wmicheck: ", L"--colour"},
        {{L"--last-instance", L"--class", L"C", L"--op", L"XYZ"}, L"UNKNOWN: wmicheck: ", L"--op"},
        {{}, L"WMI UNKNOWN - wmicheck: ", L"--class"},
        {{L"--class", L"Win32_Service"}, L"WMI UNKNOWN - wmicheck: ", L"--property"},
        {{L"--last-instance", L"--class", L"Win32_Service"}, L"UNKNOWN: wmicheck: ", L"--property"},
        {{L"--class", L"C", L"--count", L"--user", L"u", L"--password-file", L"C:\\no\\such\\file"},
         L"WMI UNKNOWN - wmicheck: ", L"--password-file"},
        {{L"--configure", L"--property", L"P"}, L"UNKNOWN: wmicheck: ", L"--property"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--uom", L"kg"}, L"WMI UNKNOWN - wmicheck: ", L"--uom"},
        {{L"--class", L"C", L"--age"}, L"WMI UNKNOWN - wmicheck: ", L"--property"},
        {{L"--json", L"--timeout", L"soon"}, L"{\"state\":\"UNKNOWN\"", L"--timeout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none)") : Narrow(c.args[0] + L" " + c.args.back()));
        const WmicheckRun run = RunWmicheck(c.args);
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_EQ(0u, run.out.find(c.start)) << Narrow(run.out);
        EXPECT_NE(std::wstring::npos, run.Line().find(c.named)) << Narrow(run.out);
        EXPECT_EQ(1, std::count(run.out.begin(), run.out.end(), L'\n')) << "one line";
        EXPECT_NE(std::wstring::npos, run.err.find(L"--help")) << Narrow(run.err);
    }
}

// No output of a failing run holds the password, from wherever it came:
// the option, a password file, WMICHECK_PASSWORD.
TEST(Options, NoRunShowsThePassword) {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    const std::wstring secondLine = std::wstring(directory) + L"wmicheck-secret-line2.txt",
                       firstLine = std::wstring(directory) + L"wmicheck-secret-line1.txt",
                       emptyLine = std::wstring(directory) + L"wmicheck-secret-empty.txt";
    const struct {
        const std::wstring* path;
        const char* text;
    } files[] = {{&secondLine, "first\r\nS3cret PW2\r\n"}, {&firstLine, "S3cret\n"}, {&emptyLine, "\nS3cret\n"}};
    for (const auto& f : files) {
        HANDLE file = CreateFileW(f.path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, f.text, static_cast<DWORD>(strlen(f.text)), &written, nullptr);
        CloseHandle(file);
    }
    const std::vector<std::wstring> check = {L"-H", L"SRV01", L"--user", L"CORP\\monitor", L"--class", L"C",
                                             L"--count"};
    const struct {
        std::vector<std::wstring> args, environment;
        const wchar_t* named;  // in the line; "" for any reason
    } cases[] = {
        {{L"--colour", L"--password=S3cret"}, {}, L"--colour"},
        {{L"--password", L"S3cret", L"PW2"}, {}, L"argument 10 "},
        {{L"--json", L"--password", L"S3cret", L"-PW2"}, {}, L"argument 11 "},
        {{L"-v", L"--password", L"S3cret", L"--PW2=x"}, {}, L"argument 11 "},
        {{L"--diagnose", L"--password", L"S3cret", L"--class", L"C"}, {}, L"--class"},
        {{L"--password-file", firstLine, L"--colour"}, {}, L"--colour"},
        {{L"--password-file", emptyLine}, {}, L"--user needs a password"},
        {{}, {L"WMICHECK_PASSWORD="}, L"--user needs a password"},
        {{L"--timeout", L"soon"}, {L"WMICHECK_PASSWORD=S3cret"}, L"--timeout"},
        {{L"-vvv", L"--json", L"--password-file", secondLine, L"-H", L".", L"--class", L"Win32_NoSuchClass"}, {}, L""},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> args = check;
        args.insert(args.end(), c.args.begin(), c.args.end());
        const WmicheckRun run = RunWmicheck(args, c.environment);
        SCOPED_TRACE(Narrow(run.out + run.err));
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_NE(std::wstring::npos, run.Line().find(c.named));
        for (const wchar_t* secret : {L"S3cret", L"PW2"}) {
            EXPECT_EQ(std::wstring::npos, run.out.find(secret));
            EXPECT_EQ(std::wstring::npos, run.err.find(secret));
        }
    }
    for (const auto& f : files) DeleteFileW(f.path->c_str());
}

TEST(Derived, CimDateTimesHonourTheirOffset) {
    // 2026-12-08 09:00:00 UTC.
    const double utc = 1796720400;
    const struct {
        const wchar_t* text;
        double seconds;
    } cases[] = {
        {L"20261208090000.000000+000", utc},
        {L"20261208090000.000000+00", utc},  // as Wine writes LocalDateTime
        {L"20261208100000.000000+060", utc},
        {L"20261208083000.250000-030", utc + 0.25},
        {L"20261208090000.000000-000", utc},
        {L"19700101000000.000000+000", 0},
        {L"20240229235959.000000+000", 1709251199},
        {L"20261208090000.000000+000\0\0junk", utc},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        double seconds = -1;
        ASSERT_TRUE(ParseCimDateTime(c.text, &seconds));
        EXPECT_DOUBLE_EQ(c.seconds, seconds);
    }
    for (const wchar_t* text : {L"", L"20261208090000", L"20261208090000.000000", L"20261208090000.000000+0",
                                L"20261208090000.000000+0000", L"20261308090000.000000+000",
                                L"20230229090000.000000+000", L"20261208250000.000000+000",
                                L"2026120809000a.000000+000", L"20261208090000,000000+000",
                                L"20261208090000.000000 000", L"********090000.000000+000",
                                L"00000001090000.000000:000"}) {
        double seconds = -1;
        EXPECT_FALSE(ParseCimDateTime(text, &seconds)) << Narrow(text);
    }
    EXPECT_DOUBLE_EQ(33.33, Percent(1, 3));
    EXPECT_DOUBLE_EQ(66.67, Percent(2, 3));
    EXPECT_DOUBLE_EQ(-50, Percent(-5000000000.0, 10000000000.0));
}

TEST(Derived, LabelsFromTheInstancesOwnPath) {
    const struct {
        std::wstring path;
        const wchar_t* label;  // null: no label from this path
    } cases[] = {
        {L"Win32_LogicalDisk.DeviceID=\"C:\"", L"C:"},
        {std::wstring(L"Win32_Service.Name=\"BITS\"\0\0\0\0x", 30), L"BITS"},
        {L"Win32_Service.Name=\"it\\\"s \\\\ here\"", L"it\"s \\ here"},
        {L"Win32_Process.Handle=\"56\"", L"56"},
        {L"Double_Item.Id=7", L"7"},
        {L"Win32_Thing.A=\"x,y\",B=5,C=TRUE", L"x,y,5,TRUE"},
        {L"Win32_Thing.A=\"\",B=-5", L",-5"},
        {L"Win32_Single=\"only\"", L"only"},
        {L"Win32_OperatingSystem=@", L"Win32_OperatingSystem"},
        {L"Win32_Ref.Antecedent=\"\\\\\\\\.\\\\root:A.Name=\\\"x\\\"\"", L"\\\\.\\root:A.Name=\"x\""},
        {L"Win32_OperatingSystem", nullptr},
        {L"", nullptr},
        {L"=@", nullptr},
        {L"Win32_Service.Name=\"BITS", nullptr},
        {L"Win32_Service.Name=\"BITS\"x", nullptr},
        {L"Win32_Service.Name=\"\"", nullptr},
        {L"Win32_Service.=\"x\"", nullptr},
        {L"Win32_Service.Name", nullptr},
        {L"Win32_Service.Name=", nullptr},
        {L"Win32_Service.Name=\"a\",", nullptr},
        {L"Win32_Service.Name=a b", nullptr},
        {L"Win32_OperatingSystem=@x", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        std::wstring label = L"unchanged";
        EXPECT_EQ(c.label != nullptr, LabelFromRelativePath(c.path, &label));
        EXPECT_EQ(c.label ? c.label : L"unchanged", label);
    }
}

// Labels with the characters that would cut an entry read back as
// themselves, or with "_" where the conventions allow no such character.
TEST(PluginOutput, LabelsAndValuesReadBack) {
    const struct {
        const wchar_t* label;
        const wchar_t* readBack;
    } cases[] = {
        {L"C:", L"C:"},
        {L"it's", L"it's"},
        {L"''", L"''"},
        {L"a b;c", L"a b;c"},
        {L"x=1|2", L"x_1_2"},
        {L"Gr\u00F6\u00DFe\u20AC", L"Gr\u00F6\u00DFe\u20AC"},
    };
    PluginResult result;
    result.state = State::Warning;
    result.text = L"a \"quoted\" \\ text | with a bar\r\nand \u20AC";
    result.warning = L"10:";
    result.unit = L"KB";
    for (const auto& c : cases) {
        InstanceOutcome instance;
        instance.label = c.label;
        instance.kind = InstanceOutcome::Kind::Number;
        instance.number = -1234567890123.5;
        instance.perfdata = true;
        result.instances.push_back(instance);
    }
    const std::wstring line = PluginLine(result);
    EXPECT_EQ(1u, std::count(line.begin(), line.end(), L'|')) << Narrow(line);
    std::vector<PerfEntry> entries;
    ASSERT_TRUE(ParsePerfData(line.substr(line.find(L" | ") + 3), &entries)) << Narrow(line);
    ASSERT_EQ(std::size(cases), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(cases[i].readBack, entries[i].label);
        EXPECT_EQ(L"-1234567890123.5", entries[i].value);
        EXPECT_EQ(L"KB", entries[i].uom);
        EXPECT_EQ(L"10:", entries[i].warn);
    }

    Json json;
    const std::wstring text = PluginJson(result);
    ASSERT_TRUE(JsonReader(text).Read(&json)) << Narrow(text);
    for (wchar_t c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
    EXPECT_EQ(result.text, json[L"text"].string);
    EXPECT_EQ(1, json[L"exit_code"].number);
    ASSERT_EQ(std::size(cases), json[L"instances"].items.size());
    EXPECT_EQ(cases[5].label, json[L"instances"].items[5][L"label"].string);
    EXPECT_EQ(-1234567890123.5, json[L"instances"].items[5][L"value"].number);
}

}  // namespace
