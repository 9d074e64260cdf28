// RunCheck over instances held in memory: the line and exit code for each
// kind of value, and the command line each build refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "Check.h"
#include "CommandLine.h"
#include "Options.h"

namespace {

using check::PropertyInfo;
using check::Value;

Value Number(double number, const std::string& text) {
    Value v;
    v.kind = Value::Kind::Number;
    v.text = text;
    v.hasNumber = true;
    v.number = number;
    return v;
}
Value Text(const std::string& text, bool isNumber = false) {
    Value v;
    v.kind = Value::Kind::Text;
    v.text = text;
    v.hasNumber = isNumber;
    v.number = isNumber ? std::stod(text) : 0;
    return v;
}
Value Boolean(bool b) {
    Value v = Number(b ? -1 : 0, b ? "True" : "False");
    v.kind = Value::Kind::Boolean;
    return v;
}
Value Null() { return Value(); }
Value Array() {
    Value v;
    v.kind = Value::Kind::Array;
    v.hasText = false;
    v.items = {Text("a"), Text("b")};
    return v;
}
// A CIM datetime the given seconds before now, in UTC.
Value DateTimeAgo(long seconds) {
    const std::time_t at = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - seconds;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &at);
#else
    gmtime_r(&at, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.000000+000", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    Value v = Text(text);
    v.kind = Value::Kind::DateTime;
    return v;
}

struct Instance {
    std::string label;  // what its path names
    std::map<std::string, Value> fields;
};

class MemorySource : public check::Source {
public:
    std::vector<Instance> instances;
    bool classKnown = true;  // false: the transport cannot read the class
    bool classMissing = false;
    std::vector<PropertyInfo> properties;
    char separator = '.';

    size_t Query() override { return instances.size(); }
    bool Field(size_t i, const std::string& name, Value* value) override {
        const auto found = instances.at(i).fields.find(name);
        if (found == instances[i].fields.end()) return false;
        *value = found->second;
        return true;
    }
    std::string PathLabel(size_t i) override { return instances.at(i).label; }
    bool ClassProperties(std::vector<PropertyInfo>* out) override {
        if (classMissing) throw check::Failure{"cannot get the class C: not found"};
        if (!classKnown) return false;
        *out = properties;
        return true;
    }
    std::vector<std::string> KeyNames() override { return {}; }
    char DecimalSeparator() const override { return separator; }
    void Say(const std::string&) override {}
};

TEST(RunCheck, EveryKindOfValueGivesItsLineAndExitCode) {
    const std::vector<PropertyInfo> cls = {{"State", false}, {"Status", false}, {"P", true}, {"Name", false}};
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::vector<Instance> instances;
        int source;  // 0 class known, 1 class unknown to the transport, 2 no such class, 3 "," decimals
        const char* line;  // the line, or the part of it that does not depend on the clock
        int exitCode;
    } cases[] = {
        {"numbers under ranges", {"--property", "P", "-w", "10", "-c", "20"},
         {{"A", {{"P", Number(5, "5")}}}, {"B", {{"P", Number(15, "15")}}}}, 0,
         "WMI WARNING - 1 of 2 C instances warning: B P=15 | 'A'=5;10;20;; 'B'=15;10;20;;", 1},
        {"a 64-bit integer as text, the class says number", {"--property", "P", "--op", "MOR", "--value", "10"},
         {{"A", {{"P", Text("5000000000", true)}}}}, 0,
         "WMI OK - 1 C instance satisfies P MOR 10: A P=5000000000 (>10) | 'A'=5000000000;;;;", 0},
        {"a number as text where the class is unknown", {"--property", "P", "--op", "LES", "--value", "1"},
         {{"A", {{"P", Text("7", true)}}}}, 1,
         "WMI CRITICAL - 1 C instance fails P LES 1: A P=7 (!! not <1) | 'A'=7;;;;", 2},
        {"null under a range", {"--property", "P", "-w", "10"}, {{"A", {{"P", Null()}}}}, 0,
         "WMI UNKNOWN - 1 C instance unknown: A P= (not a number)", 3},
        {"an array compared", {"--property", "P", "--op", "CON", "--value", "a"}, {{"A", {{"P", Array()}}}}, 0,
         "WMI UNKNOWN - 1 C instance cannot be compared: A P cannot be compared (no text form)", 3},
        {"a boolean", {"--property", "P", "--op", "EXA", "--value", "True"}, {{"A", {{"P", Boolean(true)}}}}, 0,
         "WMI OK - 1 C instance satisfies P EXA True: A P=True", 0},
        {"a datetime's age", {"--property", "P", "--age", "-c", "600:"}, {{"A", {{"P", DateTimeAgo(100)}}}}, 0,
         "WMI CRITICAL - 1 C instance critical: A P age=10", 2},
        {"a datetime that is none", {"--property", "P", "--age", "-c", "600:"}, {{"A", {{"P", Text("soon")}}}}, 0,
         "WMI UNKNOWN - 1 C instance unknown: A P 'soon' is no CIM datetime", 3},
        {"a percentage", {"--property", "P", "--percent-of", "Size", "-w", "30:"},
         {{"A", {{"P", Number(25, "25")}, {"Size", Number(100, "100")}}}}, 0,
         "WMI WARNING - 1 C instance warning: A P/Size=25% | 'A'=25%;30:;;;", 1},
        {"--exclude without case", {"--exclude", "Name=y", "--count"},
         {{"A", {{"Name", Text("x")}}}, {"B", {{"Name", Text("Y")}}}}, 0, "WMI OK - 1 C instance: A | 'instances'=1;;;0;",
         0},
        {"--match any", {"--property", "P", "--op", "EXA", "--value", "Running", "--match", "any"},
         {{"A", {{"P", Text("Running")}}}, {"", {{"P", Text("Stopped")}}}}, 0,
         "WMI OK - 1 of 2 C instances satisfies P EXA Running: A P=Running", 0},
        {"the locale's decimals", {"--property", "P", "--op", "LES", "--value", "3,1"},
         {{"A", {{"P", Number(2.5, "2,5")}}}}, 3, "WMI OK - 1 C instance satisfies P LES 3,1: A P=2,5 (<3,1)", 0},
        {"a missing property and its close names", {"--property", "state", "-w", "1"},
         {{"A", {{"State", Text("OK")}}}}, 0,
         "WMI UNKNOWN - C has no property 'state' (--property; property names are case-sensitive); close: State, "
         "Status",
         3},
        {"no instance: the names are checked", {"--property", "Xyzzy", "-w", "1"}, {}, 0,
         "WMI UNKNOWN - C has no property 'Xyzzy' (--property; property names are case-sensitive); none of its "
         "properties is close to that name",
         3},
        {"no instance, the class unknown to the transport", {"--property", "Xyzzy", "-w", "1"}, {}, 1,
         "WMI UNKNOWN - no instance of C matches the query", 3},
        {"no instance and --allow-empty", {"--property", "P", "-w", "1", "--allow-empty"}, {}, 1,
         "WMI OK - no instance of C matches the query (allowed by --allow-empty)", 0},
        {"no such class", {"--property", "P", "-w", "1"}, {}, 2, "WMI UNKNOWN - cannot get the class C: not found", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"--class", "C"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunnerOptions options;
        ASSERT_EQ("", ParseArguments(args, &options, Platform::Windows));
        MemorySource source;
        source.instances = c.instances;
        source.properties = cls;
        source.classKnown = c.source != 1;
        source.classMissing = c.source == 2;
        source.separator = c.source == 3 ? ',' : '.';
        const PluginResult result = RunCheck(options, source);
        EXPECT_EQ(0u, PluginLine(result).find(c.line)) << PluginLine(result);
        EXPECT_EQ(c.exitCode, ExitCode(result.state));
    }
}

// The Linux build takes every method, negotiate by default, over HTTP too.
TEST(Platforms, LinuxTakesEveryMethod) {
    const struct {
        std::vector<std::string> args;
        Auth auth;
        const char *keytab, *realm, *address;
    } cases[] = {
        {{"-H", "h"}, Auth::Negotiate, "", "", ""},
        {{"-H", "h", "--auth", "ntlm", "--user", "u"}, Auth::Ntlm, "", "", ""},
        {{"-H", "h", "--auth", "kerberos", "--keytab", "k", "--user", "u@R", "--address", "10.0.0.5"}, Auth::Kerberos,
         "k", "", "10.0.0.5"},
        {{"-H", "h", "--user", "CORP\\u", "--realm", "CORP.EXAMPLE"}, Auth::Negotiate, "", "CORP.EXAMPLE", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--class", "C", "--count"});
        RunnerOptions options;
        EXPECT_EQ("", ParseArguments(args, &options, Platform::Linux)) << args[2];
        EXPECT_EQ(c.auth, options.auth);
        EXPECT_EQ(c.keytab, options.keytab);
        EXPECT_EQ(c.realm, options.realm);
        EXPECT_EQ(c.address, options.address);
        // A keytab stands for the password.
        EXPECT_EQ(options.user.empty() || *c.keytab, RefuseUserWithoutPassword(options).empty());
    }
}

// Both builds read the same names; each refuses the other's options with
// a reason, and the Linux build the combinations it cannot send safely.
TEST(Platforms, EachBuildRefusesTheOthersOptions) {
    const struct {
        Platform platform;
        std::vector<std::string> args;
        const char* refusal;  // "" when it runs
    } cases[] = {
        {Platform::Windows, {"--https"}, "--https is for the Linux wmicheck (WinRM)"},
        {Platform::Windows, {"--port", "5985"}, "--port is for the Linux wmicheck"},
        {Platform::Windows, {"--ca-file", "ca.pem"}, "--ca-file is for the Linux wmicheck"},
        {Platform::Windows, {"--insecure"}, "--insecure is for the Linux wmicheck"},
        {Platform::Windows, {"--proxy", "http://p:3128"}, "--proxy is for the Linux wmicheck"},
        {Platform::Windows, {"--auth", "basic"}, "--auth basic is for the Linux wmicheck"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--param", "#CLS=C#"}, "--param is Windows-only"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https"}, "--auth basic needs --user"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--last-instance"}, "--last-instance is Windows-only"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--print-param"}, "--print-param is Windows-only"},
        {Platform::Linux, {"-H", "h", "--configure"}, "--configure is Windows-only"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--auth-level", "6"}, "--auth-level is Windows-only"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--imp-level", "3"}, "--imp-level is Windows-only"},
        {Platform::Linux, {"--auth", "basic", "--https"}, "--host is needed"},
        {Platform::Linux, {"-H", "h", "--auth", "basic"}, "--auth basic needs --https"},
        {Platform::Linux, {"-H", "10.0.0.5", "--auth", "kerberos"}, "cannot authenticate to an IP address"},
        {Platform::Linux, {"-H", "h", "--auth", "ntlm", "--keytab", "k"}, "--keytab holds Kerberos keys"},
        {Platform::Linux, {"-H", "h", "--keytab", "k", "--password-file", "p"}, "exclude each other"},
        {Platform::Linux, {"-H", "h", "--realm", "corp\\x"}, "--realm needs a Kerberos realm"},
        {Platform::Windows, {"--keytab", "k"}, "--keytab is for the Linux wmicheck"},
        {Platform::Windows, {"--realm", "R"}, "--realm is for the Linux wmicheck"},
        {Platform::Windows, {"--address", "10.0.0.5"}, "--address is for the Linux wmicheck"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--port", "0"}, "--port"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--insecure"}, "--insecure needs --https"},
        {Platform::Linux, {"-H", "h", "--auth", "basic", "--https", "--insecure", "--ca-file", "c"}, "exclude each other"},
        {Platform::Linux,
         {"-H", "h", "--auth", "basic", "--https", "--ca-file", "ca.pem", "--port", "443", "--proxy", "http://p", "--user",
          "u"},
         ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--class", "C", "--count"});
        RunnerOptions options;
        const std::string error = ParseArguments(args, &options, c.platform);
        SCOPED_TRACE(args[0] + " " + args[1] + ": " + error);
        if (*c.refusal) {
            EXPECT_NE(std::string::npos, error.find(c.refusal));
        } else {
            EXPECT_EQ("", error);
            EXPECT_EQ(Auth::Basic, options.auth);
            EXPECT_TRUE(options.https);
            EXPECT_EQ(443, options.port);
            EXPECT_EQ("ca.pem", options.caFile);
            EXPECT_EQ("http://p", options.proxy);
        }
    }
    // Each build's --help lists only the options it takes.
    EXPECT_NE(std::string::npos, std::string(UsageText(Platform::Linux)).find("--keytab FILE"));
    EXPECT_EQ(std::string::npos, std::string(UsageText(Platform::Windows)).find("--https"));
    EXPECT_EQ(std::string::npos, std::string(UsageText(Platform::Linux)).find("--param STRING"));
    EXPECT_NE(std::string::npos, std::string(UsageText(Platform::Linux)).find("--ca-file FILE"));
}

}  // namespace
