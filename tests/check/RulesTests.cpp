// The check core's plain rules: threshold ranges, the command line's checks,
// and the output forms read back. Built natively and for Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Derived.h"
#include "Options.h"
#include "Password.h"
#include "PluginOutput.h"
#include "Thresholds.h"

namespace {

// These tables pin wmicheck.exe's command line; the Linux build's
// differences have a table of their own.
std::string Parse(const std::vector<std::string>& args, RunnerOptions* options) {
    return ParseArguments(args, options, Platform::Windows);
}

TEST(Range, ParsesEveryFormAndAlertsWithInclusiveEnds) {
    const struct {
        const char* range;
        std::vector<double> quiet, alerting;
    } cases[] = {
        {"10", {0, 5, 10}, {-0.5, 10.01}},
        {"10:", {10, 1e12}, {9.99, -10}},
        {"~:10", {-1e12, 10}, {10.5}},
        {"10:20", {10, 15, 20}, {9.9, 20.1}},
        {"@10:20", {9.9, 20.1}, {10, 15, 20}},
        {"@5", {-1, 5.5}, {0, 5}},
        {"-10:-5", {-10, -5}, {-11, -4, 0}},
        {"1.5:2.25", {1.5, 2.25}, {1.49, 2.26}},
        {":3", {0, 3}, {-1, 4}},
        {"~:", {-1e300, 1e300}, {}},
        {"@~:0", {0.5}, {-7, 0}},
        {"0", {0}, {-0.1, 0.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.range);
        Range range;
        ASSERT_TRUE(range.Parse(c.range));
        EXPECT_EQ(c.range, range.Text());
        for (double v : c.quiet) EXPECT_FALSE(range.Alerts(v)) << v;
        for (double v : c.alerting) EXPECT_TRUE(range.Alerts(v)) << v;
    }
}

TEST(Range, RefusesMalformedRanges) {
    for (const char* text : {"", "abc", "20:10", "@", "~", "1:2:3", "1e3", "+5", "1,5", " 5", "5 ",
                                "--5", "5-", "1..2", "@@1", "~5"}) {
        Range range;
        EXPECT_FALSE(range.Parse(text)) << text;
        EXPECT_FALSE(range.IsSet());
    }
}

TEST(Range, CriticalBeatsWarningAndUnknownNeverHidesAnAlert) {
    Range warning, critical, unset;
    ASSERT_TRUE(warning.Parse("10"));
    ASSERT_TRUE(critical.Parse("20"));
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
        std::vector<std::string> args;
        const char* named;
    } cases[] = {
        {{"--auth-level", "x"}, "--auth-level"},
        {{"--auth-level", "7"}, "--auth-level"},
        {{"--imp-level", "-1"}, "--imp-level"},
        {{"--imp-level", "3.0"}, "--imp-level"},
        {{"--timeout", "abc"}, "--timeout"},
        {{"--timeout", "0"}, "--timeout"},
        {{"--timeout", "-1"}, "--timeout"},
        {{"--op", "XYZ"}, "--op"},
        {{"--colour", "red"}, "--colour"},
        {{"-x"}, "-x"},
        {{"stray"}, "argument 1"},
        {{"--class", "C", "--count", "--", "more"}, "argument 5"},
        {{"--class", "C", "--count=1"}, "--count takes no value"},
        {{"--pass=x"}, "--pass is ambiguous: --password or --password-file"},
        {{"--class", "C", "--count", "--exclude", "Name"}, "--exclude"},
        {{"--last-instance", "--class", "C", "--property", "P", "--exclude", "Name=x"}, "--exclude"},
        {{"--last-instance", "--class", "C", "--property", "P", "--auth", "ntlm"}, "--auth"},
        {{"--class", "C", "--count", "--auth", "kerberos", "-H", "192.0.2.21"}, "--auth kerberos"},
        {{"--class", "C", "--count", "--auth=kerberos", "-H", "[2001:db8::21]"}, "IP address"},
        {{"--class"}, "--class"},
        {{"--class", "C", "--property", "P", "-w", "10:5"}, "--warning"},
        {{"--class", "C", "--property", "P", "-c", "x"}, "--critical"},
        {{"--class", "C", "--property", "P", "--op", "EXA", "--match", "most"}, "--match"},
        {{"--class", "C", "--property", "P", "--match", "all"}, "--op"},
        {{"--class", "C", "-w", "1"}, "--property"},
        {{"--property", "P", "-w", "1"}, "--class"},
        {{"--class", "C", "--count", "--op", "EXA"}, "--op"},
        {{"--password", "p", "--password-file", "f"}, "--password-file"},
        {{"--configure", "--class", "C"}, "--class"},
        {{"--class", "C", "--property", "P", "-w", "1", "--uom", "kg"}, "--uom"},
        {{"--class", "C", "--property", "P", "-w", "1", "--uom", "kb"}, "--uom"},
        {{"--class", "C", "--property", "P", "-w", "1", "--age", "--percent-of", "S"}, "--percent-of"},
        {{"--class", "C", "--count", "--age"}, "--age"},
        {{"--class", "C", "--percent-of", "S", "-w", "1"}, "--property"},
        {{"--class", "C", "--property", "P", "--percent-of", "", "-w", "1"}, "--percent-of"},
        {{"--class", "C", "--count", "--uom", "c"}, "--uom"},
        {{"--class", "C", "--property", "P", "-w", "1", "--uom", "ns"}, "--uom"},
        {{"--class", "C", "--property", "P", "-w", "1", "--user", "CORP\\"}, "--user"},
        {{"--class", "C", "--property", "P", "-w", "1", "--domain", "CORP"}, "--domain"},
        {{"--class", "C", "--property", "P", "-w", "1", "--user", "m@corp.example", "--domain", "CORP"},
         "--domain"},
        {{"--last-instance", "--class", "C", "--property", "P", "--match", "all"}, "--match"},
        {{"--param", "#CLS=C#", "--class", "C"}, "--class"},
        {{"--diagnose", "--class", "C"}, "--class"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        RunnerOptions options;
        const std::string error = Parse(c.args, &options);
        EXPECT_NE(std::string::npos, error.find(c.named)) << error;
    }
}

// Check options alone make a monitoring-plugin check; the plug-in's
// last-instance rule needs its own option; a command line that cannot run
// is refused with its reason, whatever the mode.
TEST(Options, TheModeIsChosenOnlyByItsOptions) {
    const struct {
        std::vector<std::string> args;
        RunMode mode;
        const char* refusal;  // "" when it runs
    } cases[] = {
        {{}, RunMode::Plugin, "--class is needed"},
        {{"--class", "Win32_Service"}, RunMode::Plugin, "--property is needed"},
        {{"--class", "C", "--property", "P"}, RunMode::Plugin, "--last-instance"},
        {{"--class", "C", "--property", "State", "--op", "EXA", "--value", "Running"}, RunMode::Plugin, ""},
        {{"-H", "SRV01", "--class", "C", "--count"}, RunMode::Plugin, ""},
        {{"--last-instance", "--class", "C", "--property", "P", "--op", "EXA"}, RunMode::Check, ""},
        {{"--last-instance", "--class", "C"}, RunMode::Check, "--property is needed"},
        {{"--last-instance"}, RunMode::Check, "--class is needed"},
        {{"--print-param", "--class", "C", "--property", "P"}, RunMode::Check, ""},
        {{"--param", "#CLS=C#PRO=P#", "-t", "5"}, RunMode::Check, ""},
        {{"--configure", "--host", "SRV01"}, RunMode::Configure, ""},
        {{"--diagnose", "-H", "SRV01", "--user", "CORP\\monitor"}, RunMode::Diagnose, ""},
        {{"-V"}, RunMode::Version, ""},
        {{"--class", "C", "--help"}, RunMode::Help, ""},
        {{"--password", "S3cret", "PW2", "--last-instance"}, RunMode::Check, "argument 3"},
        {{"--colour", "--diagnose"}, RunMode::Diagnose, "--colour"},
        {{"--diagnose", "--auth", "kerberos", "-H", "APP01"}, RunMode::Diagnose, ""},
    };
    for (const auto& c : cases) {
        RunnerOptions options;
        const std::string error = Parse(c.args, &options);
        SCOPED_TRACE((c.args.empty() ? "(none)" : c.args[0]) + ": " + error);
        EXPECT_EQ(c.mode, options.mode);
        if (*c.refusal) EXPECT_NE(std::string::npos, error.find(c.refusal));
        else EXPECT_EQ("", error);
    }
}

// The monitoring-plugin conventions' standard options, and the units.
TEST(Options, StandardOptionsAndUnits) {
    RunnerOptions options;
    EXPECT_EQ("", Parse({"-H", "SRV01", "-t", "2.5", "-v", "-vv", "--verbose", "--class", "C",
                                   "--count"},
                                  &options));
    EXPECT_EQ("SRV01", options.host);
    EXPECT_EQ(2.5, options.timeoutSeconds);
    EXPECT_EQ(4, options.verbosity);
    RunnerOptions hostname;
    EXPECT_EQ("", Parse({"--hostname", "srv02", "--class", "C", "--count"}, &hostname));
    EXPECT_EQ("srv02", hostname.host);

    // The units of the plugin guidelines, and the default that follows a
    // derived value; "none" is no unit.
    const struct {
        std::vector<std::string> extra;
        const char* unit;
    } units[] = {
        {{}, ""},          {{"--percent-of", "S"}, "%"}, {{"--age"}, "s"}, {{"--age", "--uom", "none"}, ""},
        {{"--uom", "ms"}, "ms"}, {{"--uom", "us"}, "us"}, {{"--uom", "GB"}, "GB"}, {{"--uom", "c"}, "c"},
    };
    for (const auto& c : units) {
        std::vector<std::string> args = {"--class", "C", "--property", "P", "-w", "1"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunnerOptions withUnit;
        EXPECT_EQ("", Parse(args, &withUnit));
        EXPECT_EQ(c.unit, withUnit.unit) << c.extra.size();
    }
}

// The forms getopt-based plugins are called with read the same: a value
// attached, separate or after "=", a value that begins with "-", UTF-8 both
// ways, flags and repeated -v; one process parses them all in turn.
TEST(Options, EveryGetoptFormReadsTheSame) {
    using Field = std::string (*)(const RunnerOptions&);
    const Field host = [](const RunnerOptions& o) { return o.host; };
    const Field warning = [](const RunnerOptions& o) { return o.warning.Text(); };
    const Field password = [](const RunnerOptions& o) { return o.password; };
    const Field verbosity = [](const RunnerOptions& o) { return std::to_string(o.verbosity); };
    const Field excludes = [](const RunnerOptions& o) {
        std::string all;
        for (const Exclusion& e : o.excludes) all += e.property + "|" + e.value + ";";
        return all;
    };
    const struct {
        std::vector<std::string> args;
        Field field;
        const char* value;
    } cases[] = {
        {{"--host", "SRV01"}, host, "SRV01"},
        {{"--host=SRV01"}, host, "SRV01"},
        {{"--hostname=SRV01"}, host, "SRV01"},
        {{"-H", "SRV01"}, host, "SRV01"},
        {{"-HSRV01"}, host, "SRV01"},
        {{"-w80"}, warning, "80"},
        {{"-w", "-10:"}, warning, "-10:"},
        {{"--warning=-10:"}, warning, "-10:"},
        {{"--password", "-S3cret"}, password, "-S3cret"},
        {{"--password=-S3 cr=et"}, password, "-S3 cr=et"},
        {{"--password", "--"}, password, "--"},
        {{"--password", "Gr\u00F6\u00DFe\u20AC\U0001F511"}, password, "Gr\u00F6\u00DFe\u20AC\U0001F511"},
        {{"--password", ""}, password, ""},
        {{"-vv", "-v", "--verbose"}, verbosity, "4"},
        {{"-vvv", "-Hx"}, verbosity, "3"},
        {{"--exclude=Name=a=b", "--exclude", "State="}, excludes, "Name|a=b;State|;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {"--class", "C", "--property", "P", "--op", "EXA"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunnerOptions options;
        EXPECT_EQ("", Parse(args, &options));
        EXPECT_EQ(c.value, c.field(options));
    }
}

// A user is sent only with a password, where wmicheck itself connects.
TEST(Options, AUserNeedsAPassword) {
    const struct {
        std::vector<std::string> args;
        bool refused;
    } cases[] = {
        {{"--class", "C", "--count", "--user", "u"}, true},
        {{"--class", "C", "--count", "--user", "u", "--password", ""}, true},
        {{"--class", "C", "--count", "--user", "u", "--password", "p"}, false},
        {{"--class", "C", "--count"}, false},
        {{"--last-instance", "--class", "C", "--property", "P", "--user", "u"}, true},
        {{"--param", "#USR=u#CLS=C#PRO=P#"}, false},
        {{"--diagnose", "--user", "u"}, false},
        {{"--diagnose", "-H", "SRV01", "--user", "u"}, true},
    };
    for (const auto& c : cases) {
        RunnerOptions options;
        ASSERT_EQ("", Parse(c.args, &options)) << c.args.back();
        EXPECT_EQ(c.refused, !RefuseUserWithoutPassword(options).empty()) << c.args.back();
    }
}

TEST(Derived, CimDateTimesHonourTheirOffset) {
    // 2026-12-08 09:00:00 UTC.
    const double utc = 1796720400;
    const struct {
        const char* text;
        double seconds;
    } cases[] = {
        {"20261208090000.000000+000", utc},
        {"20261208090000.000000+00", utc},  // as Wine writes LocalDateTime
        {"20261208100000.000000+060", utc},
        {"20261208083000.250000-030", utc + 0.25},
        {"20261208090000.000000-000", utc},
        {"19700101000000.000000+000", 0},
        {"20240229235959.000000+000", 1709251199},
        {"20261208090000.000000+000\0\0junk", utc},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        double seconds = -1;
        ASSERT_TRUE(ParseCimDateTime(c.text, &seconds));
        EXPECT_DOUBLE_EQ(c.seconds, seconds);
    }
    for (const char* text : {"", "20261208090000", "20261208090000.000000", "20261208090000.000000+0",
                                "20261208090000.000000+0000", "20261308090000.000000+000",
                                "20230229090000.000000+000", "20261208250000.000000+000",
                                "2026120809000a.000000+000", "20261208090000,000000+000",
                                "20261208090000.000000 000", "********090000.000000+000",
                                "00000001090000.000000:000"}) {
        double seconds = -1;
        EXPECT_FALSE(ParseCimDateTime(text, &seconds)) << text;
    }
    EXPECT_DOUBLE_EQ(33.33, Percent(1, 3));
    EXPECT_DOUBLE_EQ(66.67, Percent(2, 3));
    EXPECT_DOUBLE_EQ(-50, Percent(-5000000000.0, 10000000000.0));
}

TEST(Derived, LabelsFromTheInstancesOwnPath) {
    const struct {
        std::string path;
        const char* label;  // null: no label from this path
    } cases[] = {
        {"Win32_LogicalDisk.DeviceID=\"C:\"", "C:"},
        {std::string("Win32_Service.Name=\"BITS\"\0\0\0\0x", 30), "BITS"},
        {"Win32_Service.Name=\"it\\\"s \\\\ here\"", "it\"s \\ here"},
        {"Win32_Process.Handle=\"56\"", "56"},
        {"Double_Item.Id=7", "7"},
        {"Win32_Thing.A=\"x,y\",B=5,C=TRUE", "x,y,5,TRUE"},
        {"Win32_Thing.A=\"\",B=-5", ",-5"},
        {"Win32_Single=\"only\"", "only"},
        {"Win32_OperatingSystem=@", "Win32_OperatingSystem"},
        {"Win32_Ref.Antecedent=\"\\\\\\\\.\\\\root:A.Name=\\\"x\\\"\"", "\\\\.\\root:A.Name=\"x\""},
        {"Win32_OperatingSystem", nullptr},
        {"", nullptr},
        {"=@", nullptr},
        {"Win32_Service.Name=\"BITS", nullptr},
        {"Win32_Service.Name=\"BITS\"x", nullptr},
        {"Win32_Service.Name=\"\"", nullptr},
        {"Win32_Service.=\"x\"", nullptr},
        {"Win32_Service.Name", nullptr},
        {"Win32_Service.Name=", nullptr},
        {"Win32_Service.Name=\"a\",", nullptr},
        {"Win32_Service.Name=a b", nullptr},
        {"Win32_OperatingSystem=@x", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string label = "unchanged";
        EXPECT_EQ(c.label != nullptr, LabelFromRelativePath(c.path, &label));
        EXPECT_EQ(c.label ? c.label : "unchanged", label);
    }
}

// Labels with the characters that would cut an entry read back as
// themselves, or with "_" where the conventions allow no such character.
TEST(PluginOutput, LabelsAndValuesReadBack) {
    const struct {
        const char* label;
        const char* readBack;
    } cases[] = {
        {"C:", "C:"},
        {"it's", "it's"},
        {"''", "''"},
        {"a b;c", "a b;c"},
        {"x=1|2", "x_1_2"},
        {"Gr\u00F6\u00DFe\u20AC", "Gr\u00F6\u00DFe\u20AC"},
    };
    PluginResult result;
    result.state = State::Warning;
    result.text = "a \"quoted\" \\ text | with a bar\r\nand \u20AC";
    result.warning = "10:";
    result.unit = "KB";
    for (const auto& c : cases) {
        InstanceOutcome instance;
        instance.label = c.label;
        instance.kind = InstanceOutcome::Kind::Number;
        instance.number = -1234567890123.5;
        instance.perfdata = true;
        result.instances.push_back(instance);
    }
    const std::string line = PluginLine(result);
    EXPECT_EQ(1u, std::count(line.begin(), line.end(), '|')) << line;
    std::string perfdata;
    for (const auto& c : cases) {
        std::string quoted;
        for (const char* at = c.readBack; *at; ++at) quoted += *at == '\'' ? "''" : std::string(1, *at);
        perfdata += (perfdata.empty() ? "'" : " '") + quoted + "'=-1234567890123.5KB;10:;;;";
    }
    EXPECT_EQ("WMI WARNING - a \"quoted\" \\ text / with a bar and \u20AC | " + perfdata, line);

    const std::string text = PluginJson(result);
    for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
    const nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_EQ(result.text, json["text"]);
    EXPECT_EQ(1, json["exit_code"]);
    EXPECT_EQ(perfdata, json["perfdata"]);
    ASSERT_EQ(std::size(cases), json["instances"].size());
    EXPECT_EQ(cases[5].label, json["instances"][5]["label"]);
    EXPECT_EQ(-1234567890123.5, json["instances"][5]["value"]);
    // A whole number stays whole; a query that did not run has no count;
    // a byte that is not UTF-8 does not stop the output.
    PluginResult whole;
    whole.text = std::string("bad \xFF byte");
    whole.instances.push_back({"x", State::Ok, InstanceOutcome::Kind::Number, 50, "", false});
    EXPECT_EQ("{\"state\":\"UNKNOWN\",\"exit_code\":3,\"text\":\"bad \\ufffd byte\",\"perfdata\":\"\",\"count\":null,"
              "\"instances\":[{\"label\":\"x\",\"value\":50,\"state\":\"OK\"}]}",
              PluginJson(whole));
}

// The password's first line from a file in each encoding, and where it
// comes from: the file, else WMICHECK_PASSWORD with a user and no option.
TEST(Password, FromFileOrEnvironment) {
    const struct {
        std::string bytes;
        bool read;
        const char* password;
    } files[] = {
        {"S3cret\r\nsecond", true, "S3cret"},
        {"\xEF\xBB\xBFGr\xC3\xB6\xC3\x9F" "e\n", true, "Gr\u00F6\u00DFe"},
        {std::string("\xFF\xFEp\0\xAC\x20\r\0\n\0x\0", 12), true, "p\u20AC"},
        {"\nS3cret", true, ""},
        {"caf\xE9", false, ""},
    };
    for (const auto& f : files) {
        std::string password = "old";
        EXPECT_EQ(f.read, PasswordFromFile(f.bytes, &password)) << f.password;
        if (f.read) {
            EXPECT_EQ(f.password, password);
        }
    }

    const struct {
        std::vector<std::string> args;
        const char* password;  // after the rule
        const char* error;     // "" for none
    } cases[] = {
        {{"--user", "u", "--password-file", "f"}, "fromfile", ""},
        {{"--user", "u"}, "fromenv", ""},
        {{"--user", "u", "--password", "given"}, "given", ""},
        {{}, "", ""},
        {{"--user", "u", "--password-file", "missing"}, "", "--password-file: cannot open 'missing'"},
    };
    PasswordSources sources;
    sources.readFile = [](const std::string& path, std::string* bytes, std::string* error) {
        if (path == "missing") *error = "cannot open 'missing'";
        else *bytes = "fromfile\n";
        return path != "missing";
    };
    sources.environment = [](std::string* value) {
        *value = "fromenv";
        return true;
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--class", "C", "--count"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunnerOptions options;
        ASSERT_EQ("", Parse(args, &options));
        EXPECT_EQ(c.error, ResolvePassword(&options, sources));
        EXPECT_EQ(c.password, options.password);
        EXPECT_EQ(*c.password != 0, options.passwordGiven);
    }
}

}  // namespace
