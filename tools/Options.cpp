#include "Options.h"

#include <cwctype>
#include <initializer_list>
#include <map>

#include "../common/ConnectionAccount.h"
#include "CheckRules.h"

const wchar_t kUsage[] =
    L"usage: wmicheck [--host NAME] [--timeout SECONDS] CHECK OPTIONS [PLUGIN OPTIONS]\n"
    L"       wmicheck [--host NAME] [--timeout SECONDS] (--param STRING | --last-instance CHECK OPTIONS)\n"
    L"                [--print-param]\n"
    L"       wmicheck --configure [--host NAME] [--timeout SECONDS] [--param STRING]\n"
    L"       wmicheck --diagnose [--host NAME --user USER [--domain DOMAIN] [--password-file FILE]]\n"
    L"\n"
    L"Runs one WMI check and prints its result on one line, as a monitoring plugin: every\n"
    L"instance counts, the line reads\n"
    L"  WMI <STATE> - <text> | <performance data>\n"
    L"and the exit code is 0 OK, 1 WARNING, 2 CRITICAL or 3 UNKNOWN.\n"
    L"With --param, --last-instance or --print-param the check runs through the plug-in\n"
    L"ostrel.WMICom exactly as the monitoring host runs it instead: the last instance that\n"
    L"has the property decides, and the exit code is 0 (the condition holds), 2 (it does\n"
    L"not, or an error text) or 3 (the check could not run). --configure and --diagnose\n"
    L"do what they say below. Any other option keeps the monitoring-plugin form.\n"
    L"\n"
    L"  -h, --help           this text\n"
    L"  -V, --version        the release, then exit\n"
    L"  -v, --verbose        the steps on standard error: the account as it reached WMI,\n"
    L"                       the query, the time of each step (-vv and more: the same)\n"
    L"  -H, --host NAME      computer to check (default \".\", the local one); --hostname too\n"
    L"  -t, --timeout SECONDS time-out in seconds, above 0 and at most 86400 (default 30).\n"
    L"                       Whatever WMI does, a monitoring-plugin run ends within it plus\n"
    L"                       1 s, the plug-in's check within three times it plus 2 s, and\n"
    L"                       --diagnose each of its steps within it and all within four\n"
    L"                       times it plus 2 s\n"
    L"  --param STRING       a whole check parameter string, as the host stores it\n"
    L"  --last-instance      the plug-in's check, as the monitoring host runs it, from the\n"
    L"                       check options\n"
    L"  --print-param        print the plug-in's parameter string before its check (its PWD\n"
    L"                       field holds the password encoded, not encrypted)\n"
    L"  --configure          open the plug-in's configuration form for the check (a new\n"
    L"                       one without --param) and print the parameter string it\n"
    L"                       leaves: the new one after OK, the given one after the close box\n"
    L"  --diagnose           check this installation (bitness, registered DLLs, COM\n"
    L"                       security, a local query) and, with --host, a connection and\n"
    L"                       query of that computer, saying what to fix for each failure\n"
    L"check options:\n"
    L"  --namespace NS       WMI namespace (default root\\cimv2)\n"
    L"  --class CLASS        WMI class, e.g. Win32_Service\n"
    L"  --filter WQL         condition of the instance query, e.g. \"Name='Eventlog'\"\n"
    L"  --property NAME      property to compare (names are case-sensitive)\n"
    L"  --op CODE            CON (contains), NCO (does not contain), EXA (equals), DIF\n"
    L"                       (differs), LES (<), LEQ (<=), MOR (>), MEQ (>=)\n"
    L"  --value TEXT         compare value\n"
    L"  --user USER          account for another computer: DOMAIN\\user, user@domain, or\n"
    L"                       user with --domain; without it the caller's own identity is\n"
    L"                       used and no password is sent\n"
    L"  --domain DOMAIN      the account's domain (a computer's name for its local account)\n"
    L"  --password PASSWORD  password; other users can see it in process listings\n"
    L"  --password-file FILE the password from the first line of FILE (UTF-8, or UTF-16 with\n"
    L"                       a byte order mark); with --user and neither option, the\n"
    L"                       environment variable WMICHECK_PASSWORD is read\n"
    L"  --auth-level N       authentication level 0..6 (default 4, Packet)\n"
    L"  --imp-level N        impersonation level 0..4 (default 3, Impersonate)\n"
    L"monitoring-plugin options:\n"
    L"  --match all|any|none every instance, at least one, or no instance must satisfy --op\n"
    L"                       (default all when --op is given)\n"
    L"  -w, --warning RANGE  warning range for the number in --property (or the count)\n"
    L"  -c, --critical RANGE critical range; the worst instance decides, critical over warning\n"
    L"                       RANGE: N alerts outside 0..N, N: below N, ~:N above N,\n"
    L"                       N:M outside N..M, @N:M inside N..M (ends included);\n"
    L"                       decimals with \".\" and negative numbers allowed\n"
    L"  --count              apply the ranges to the number of instances the filter returns\n"
    L"  --label PROPERTY     label of each instance in the text and the performance data\n"
    L"                       (default: the key's value in the instance's path, e.g. C:)\n"
    L"  --allow-empty        a query that returns no instance is OK (default UNKNOWN;\n"
    L"                       with --count no instance is a count of 0)\n"
    L"  --json               print the result as one JSON object instead of the line: state,\n"
    L"                       exit_code, text, perfdata, count, instances [label, value, state]\n"
    L"  --percent-of PROPERTY the value is 100 x --property / PROPERTY of the same instance\n"
    L"                       (an instance whose PROPERTY is 0, null or no number is UNKNOWN)\n"
    L"  --age                --property is a CIM datetime; the value is its age in seconds\n"
    L"  --uom UNIT           unit of the performance data: s, ms, us, %, B, KB, MB, GB, TB,\n"
    L"                       c or none (default % with --percent-of, s with --age, else\n"
    L"                       none; not with --count)\n"
    L"\n"
    L"Output goes to the console as Unicode; redirected to a file or pipe it is UTF-8.\n"
    L"Exit codes of --configure: 0 the form was shown and closed, 3 it could not be shown.\n"
    L"\n"
    L"common checks (the README has more): free space per local disk in % (warning below\n"
    L"20 %, critical below 10 %); CPU load; uptime (critical below 10 minutes: a reboot);\n"
    L"automatic services not running (critical at 1 or more); processes running:\n"
    L"  wmicheck --class Win32_LogicalDisk --filter \"DriveType=3\" --property FreeSpace\n"
    L"           --percent-of Size -w 20: -c 10:\n"
    L"  wmicheck --class Win32_Processor --property LoadPercentage --uom % -w 80 -c 95\n"
    L"  wmicheck --class Win32_OperatingSystem --property LastBootUpTime --age -c 600:\n"
    L"  wmicheck --class Win32_Service --filter \"StartMode='Auto' AND State<>'Running'\"\n"
    L"           --count -c 0\n"
    L"  wmicheck --class Win32_Process --count -w 300 -c 500\n"
    L"another computer, with a domain account (its password in a file only it can read):\n"
    L"  wmicheck -H SRV01 --user CORP\\monitor --password-file C:\\secrets\\wmi.txt\n"
    L"           --class Win32_Service --filter \"Name='Spooler'\" --property State\n"
    L"           --op EXA --value Running\n";

namespace {

enum class Kind { Value, Flag };
struct OptionDef {
    const wchar_t* name;
    const wchar_t* shortName;
    Kind kind;
};
const OptionDef kOptions[] = {
    {L"host", L"H", Kind::Value},             {L"timeout", L"t", Kind::Value},
    {L"hostname", nullptr, Kind::Value},      {L"version", L"V", Kind::Flag},
    {L"verbose", L"v", Kind::Flag},           {L"domain", nullptr, Kind::Value},
    {L"last-instance", nullptr, Kind::Flag},  {L"diagnose", nullptr, Kind::Flag},
    {L"param", nullptr, Kind::Value},         {L"print-param", nullptr, Kind::Flag},
    {L"configure", nullptr, Kind::Flag},      {L"namespace", nullptr, Kind::Value},
    {L"class", nullptr, Kind::Value},         {L"filter", nullptr, Kind::Value},
    {L"property", nullptr, Kind::Value},      {L"op", nullptr, Kind::Value},
    {L"value", nullptr, Kind::Value},         {L"user", nullptr, Kind::Value},
    {L"password", nullptr, Kind::Value},      {L"password-file", nullptr, Kind::Value},
    {L"auth-level", nullptr, Kind::Value},    {L"imp-level", nullptr, Kind::Value},
    {L"warning", L"w", Kind::Value},          {L"critical", L"c", Kind::Value},
    {L"match", nullptr, Kind::Value},         {L"count", nullptr, Kind::Flag},
    {L"label", nullptr, Kind::Value},         {L"allow-empty", nullptr, Kind::Flag},
    {L"json", nullptr, Kind::Flag},           {L"help", L"h", Kind::Flag},
    {L"percent-of", nullptr, Kind::Value},    {L"age", nullptr, Kind::Flag},
    {L"uom", nullptr, Kind::Value},           {L"auth", nullptr, Kind::Value},
    {L"exclude", nullptr, Kind::Value},
};
// The monitoring-plugin options: none of them belongs to the plug-in's check.
const wchar_t* const kPluginOptions[] = {L"warning", L"critical",   L"match", L"count",      L"label",
                                         L"allow-empty", L"json", L"percent-of", L"age", L"uom"};
// Any of these runs the plug-in's check instead of a monitoring-plugin one.
const wchar_t* const kHostCheckOptions[] = {L"param", L"last-instance", L"print-param"};

// The units of performance data that monitoring engines know.
bool IsUnit(const std::wstring& unit) {
    for (const wchar_t* known : {L"s", L"ms", L"us", L"%", L"B", L"KB", L"MB", L"GB", L"TB", L"c", L""})
        if (unit == known) return true;
    return false;
}

const OptionDef* FindOption(const std::wstring& arg) {
    for (const OptionDef& option : kOptions) {
        if (arg == std::wstring(L"--") + option.name) return &option;
        if (option.shortName && arg == std::wstring(L"-") + option.shortName) return &option;
    }
    return nullptr;
}

// A whole number from low to high; false for anything else.
bool ReadWhole(const std::wstring& text, long low, long high, long* value) {
    if (text.empty() || text.size() > 9) return false;
    long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + (c - L'0');
    }
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

std::wstring Quoted(const std::wstring& text) { return L"'" + text + L"'"; }

}  // namespace

ReachingAccount AccountReachingWmi(const RunnerOptions& options) {
    ReachingAccount account;
    if (options.user.empty()) return account;
    // The host as the bridge names the computer it connects to.
    size_t begin = 0, end = options.host.size();
    while (end > begin && options.host[end - 1] == L'\\') --end;
    while (begin < end && options.host[begin] == L'\\') ++begin;
    const std::wstring host = options.host.empty() ? L"." : options.host.substr(begin, end - begin);
    const com::ConnectionAccount connection =
        com::AccountOfConnection(host, options.user, options.domain.empty() ? nullptr : &options.domain);
    account.user = connection.user;
    if (connection.hasDomain) {
        account.authority = L"ntlmdomain:" + connection.domain;
        account.name = connection.domain + L"\\" + connection.user;
    } else {
        account.name = connection.user;
    }
    return account;
}

std::wstring ReachingAccount::Who() const { return name.empty() ? L"this process's own account" : name; }

std::wstring ReachingAccount::Detailed() const {
    if (name.empty()) return Who();
    return name + L" (user " + user + L", authority " + (authority.empty() ? L"none" : authority) + L")";
}

std::wstring ParseArguments(const std::vector<std::wstring>& args, RunnerOptions* options) {
    // The mode first, so that even a malformed command line is answered in
    // the form its caller expects.
    bool hostCheck = false, configure = false, diagnose = false;
    for (const std::wstring& arg : args) {
        const OptionDef* option = FindOption(arg);
        if (!option) continue;
        const std::wstring name = option->name;
        for (const wchar_t* hostOption : kHostCheckOptions) hostCheck = hostCheck || name == hostOption;
        configure = configure || name == L"configure";
        diagnose = diagnose || name == L"diagnose";
        if (name == L"json") options->json = true;
    }
    options->mode = configure ? RunMode::Configure
                    : diagnose ? RunMode::Diagnose
                    : hostCheck ? RunMode::Check
                                : RunMode::Plugin;
    std::map<std::wstring, std::wstring> given;
    for (size_t i = 0; i < args.size(); ++i) {
        // -v, -vv, -vvv: as often as it is given.
        if (args[i].size() > 1 && args[i][0] == L'-' && args[i].find_first_not_of(L'v', 1) == std::wstring::npos) {
            options->verbosity += static_cast<int>(args[i].size() - 1);
            continue;
        }
        const OptionDef* option = FindOption(args[i]);
        if (!option) {
            return args[i].rfind(L"-", 0) == 0 ? L"unknown option " + args[i]
                                                : L"unexpected argument " + Quoted(args[i]);
        }
        std::wstring name = option->name == std::wstring(L"hostname") ? L"host" : option->name;
        if (option->kind == Kind::Flag) {
            if (name == L"verbose") ++options->verbosity;
            given[name] = L"";
            continue;
        }
        if (i + 1 >= args.size()) return L"--" + std::wstring(option->name) + L" needs a value";
        given[name] = args[++i];
        if (name == L"exclude") {
            const std::wstring& rule = given[name];
            const size_t equals = rule.find(L'=');
            if (equals == 0 || equals == std::wstring::npos)
                return L"--exclude needs PROPERTY=VALUE, not " + Quoted(rule);
            options->excludes.push_back({rule.substr(0, equals), rule.substr(equals + 1)});
        }
    }

    RunnerOptions& o = *options;
    auto has = [&](const wchar_t* name) { return given.count(name) != 0; };
    if (has(L"help")) {
        o.mode = RunMode::Help;
        return L"";
    }
    if (has(L"version")) {
        o.mode = RunMode::Version;
        return L"";
    }

    auto text = [&](const wchar_t* name, std::wstring* field) {
        if (has(name)) *field = given[name];
    };
    text(L"host", &o.host);
    text(L"param", &o.param);
    o.paramGiven = has(L"param");
    o.printParam = has(L"print-param");
    text(L"namespace", &o.nameSpace);
    text(L"class", &o.classPath);
    text(L"filter", &o.filter);
    text(L"property", &o.property);
    text(L"value", &o.value);
    text(L"domain", &o.domain);
    text(L"password", &o.password);
    text(L"password-file", &o.passwordFile);
    text(L"label", &o.label);
    text(L"percent-of", &o.percentOf);
    o.age = has(L"age");
    o.passwordGiven = has(L"password");
    o.count = has(L"count");
    o.json = has(L"json");
    o.allowEmpty = has(L"allow-empty");

    if (has(L"host") && o.host.empty()) return L"--host needs a computer's name";
    if (has(L"user")) {
        // DOMAIN\user (or DOMAIN/user) names the domain; --domain wins over it.
        const std::wstring& user = given[L"user"];
        const size_t separator = user.find_first_of(L"\\/");
        if (separator != std::wstring::npos && separator > 0) {
            if (!has(L"domain")) o.domain = user.substr(0, separator);
            o.user = user.substr(separator + 1);
        } else {
            o.user = user;
        }
        if (o.user.empty()) return L"--user needs a user name, not " + Quoted(user);
    }
    if (has(L"domain")) {
        if (o.domain.empty()) return L"--domain needs a domain name";
        if (!has(L"user")) return L"--domain needs --user";
        if (o.user.find(L'@') != std::wstring::npos)
            return L"--domain and a user principal name (" + o.user + L") exclude each other: the name holds its domain";
    }
    if (has(L"timeout")) {
        const std::wstring& t = given[L"timeout"];
        if (!ReadDecimal(t, &o.timeoutSeconds) || !(o.timeoutSeconds > 0) || o.timeoutSeconds > 86400)
            return L"--timeout needs a number of seconds above 0 and at most 86400, not " + Quoted(t);
        o.timeoutGiven = true;
    }
    if (has(L"auth-level") && !ReadWhole(given[L"auth-level"], 0, 6, &o.authLevel))
        return L"--auth-level needs a whole number from 0 to 6, not " + Quoted(given[L"auth-level"]);
    if (has(L"imp-level") && !ReadWhole(given[L"imp-level"], 0, 4, &o.impLevel))
        return L"--imp-level needs a whole number from 0 to 4, not " + Quoted(given[L"imp-level"]);
    if (has(L"auth")) {
        const std::wstring& a = given[L"auth"];
        if (a == L"negotiate") o.auth = Auth::Negotiate;
        else if (a == L"kerberos") o.auth = Auth::Kerberos;
        else if (a == L"ntlm") o.auth = Auth::Ntlm;
        else return L"--auth needs negotiate, kerberos or ntlm, not " + Quoted(a);
        o.authGiven = true;
    }
    if (has(L"op")) {
        std::wstring code = given[L"op"];
        for (wchar_t& c : code) c = static_cast<wchar_t>(std::towupper(c));
        if (OperatorPosition(code) < 0)
            return L"--op needs one of CON, NCO, EXA, DIF, LES, LEQ, MOR, MEQ, not " + Quoted(given[L"op"]);
        o.op = code;
    }
    if (o.passwordGiven && has(L"password-file")) return L"--password and --password-file exclude each other";
    if (has(L"warning") && !o.warning.Parse(given[L"warning"]))
        return L"--warning: malformed range " + Quoted(given[L"warning"]);
    if (has(L"critical") && !o.critical.Parse(given[L"critical"]))
        return L"--critical: malformed range " + Quoted(given[L"critical"]);
    if (has(L"uom")) {
        o.unit = given[L"uom"] == L"none" ? L"" : given[L"uom"];
        if (!IsUnit(o.unit))
            return L"--uom needs one of s, ms, us, %, B, KB, MB, GB, TB, c or none, not " + Quoted(given[L"uom"]);
    } else {
        o.unit = o.age ? L"s" : has(L"percent-of") ? L"%" : L"";
    }
    if (has(L"percent-of") && o.percentOf.empty()) return L"--percent-of needs a property name";
    if (has(L"match")) {
        const std::wstring& m = given[L"match"];
        if (m == L"all") o.match = Match::All;
        else if (m == L"any") o.match = Match::Any;
        else if (m == L"none") o.match = Match::None;
        else return L"--match needs all, any or none, not " + Quoted(m);
        o.matchGiven = true;
    }

    // Which options each of the other modes takes.
    auto only = [&](const wchar_t* mode, std::initializer_list<const wchar_t*> allowed) -> std::wstring {
        for (const auto& entry : given) {
            bool ok = entry.first == mode || entry.first == L"verbose";
            for (const wchar_t* name : allowed) ok = ok || entry.first == name;
            if (!ok) {
                std::wstring list;
                for (const wchar_t* name : allowed) list += (list.empty() ? L"--" : L", --") + std::wstring(name);
                return std::wstring(L"--") + mode + L" takes only " + list + L", not --" + entry.first;
            }
        }
        return L"";
    };
    if (o.mode == RunMode::Configure) return only(L"configure", {L"host", L"timeout", L"param"});
    if (o.mode == RunMode::Diagnose)
        return only(L"diagnose", {L"host", L"timeout", L"namespace", L"user", L"domain", L"password",
                                  L"password-file", L"auth-level", L"imp-level"});

    if (o.mode == RunMode::Check) {
        for (const wchar_t* name : kPluginOptions)
            if (has(name))
                return std::wstring(L"--") + name +
                       L" belongs to a monitoring-plugin check; the plug-in's check (--param, --last-instance, "
                       L"--print-param) takes none";
        if (o.paramGiven) {
            for (const wchar_t* name : {L"namespace", L"class", L"filter", L"property", L"op", L"value", L"user",
                                        L"domain", L"password", L"password-file", L"auth-level", L"imp-level"})
                if (has(name)) return std::wstring(L"--param holds the whole check; it takes no --") + name;
            return L"";
        }
        if (o.classPath.empty()) return L"--class is needed";
        if (o.property.empty()) return L"--property is needed: the plug-in's check compares one property";
        return L"";
    }

    // Monitoring-plugin checks: the combinations that make sense.
    const bool thresholds = o.warning.IsSet() || o.critical.IsSet();
    if (o.classPath.empty()) return L"--class is needed";
    if (o.age && has(L"percent-of")) return L"--age and --percent-of exclude each other";
    if (o.count) {
        for (const wchar_t* name : {L"op", L"match", L"property", L"label", L"percent-of", L"age", L"uom"})
            if (has(name)) return std::wstring(L"--count counts instances and takes no --") + name;
        return L"";
    }
    if (o.property.empty()) return L"--property is needed (or --count)";
    if (o.matchGiven && o.op.empty()) return L"--match needs --op";
    if ((o.age || has(L"percent-of")) && o.property.empty())
        return std::wstring(o.age ? L"--age" : L"--percent-of") + L" needs --property";
    if (o.op.empty() && !thresholds)
        return L"a monitoring-plugin check needs --op, --warning, --critical or --count (the plug-in's check, where "
               L"the last instance decides: --last-instance)";
    return L"";
}
