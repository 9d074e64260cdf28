#include "Options.h"

#include "../common/ConnectionAccount.h"

const wchar_t kUsage[] =
    L"usage: wmicheck [--host NAME] [--timeout SECONDS] CHECK OPTIONS [PLUGIN OPTIONS]\n"
    L"       wmicheck [--host NAME] [--timeout SECONDS] (--param STRING | --last-instance CHECK OPTIONS)\n"
    L"                [--print-param]\n"
    L"       wmicheck --configure [--host NAME] [--timeout SECONDS] [--param STRING]\n"
    L"       wmicheck --diagnose [--host NAME --user USER [--domain DOMAIN] [--password-file FILE]]\n"
    L"                [--auth negotiate|kerberos|ntlm]\n"
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
    L"Options take their value as --name VALUE or --name=VALUE, short ones as -w 80 or\n"
    L"-w80; a value may begin with \"-\" (-w -10:). Quote a value that has blanks.\n"
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
    L"  --password PASSWORD  password (an empty one counts as none); other users can see\n"
    L"                       it in process listings\n"
    L"  --password-file FILE the password from the first line of FILE (UTF-8, or UTF-16 with\n"
    L"                       a byte order mark); with --user and neither option, the\n"
    L"                       environment variable WMICHECK_PASSWORD is read. A user with\n"
    L"                       no password is refused before connecting: Windows refuses a\n"
    L"                       blank one over the network, and a failed logon counts towards\n"
    L"                       the account's lockout (--param excepted)\n"
    L"  --auth negotiate|kerberos|ntlm\n"
    L"                       how to authenticate: negotiate (Kerberos where the domain\n"
    L"                       offers it, else NTLM; the default), kerberos, or ntlm. Kerberos\n"
    L"                       needs the computer's name in --host, not its IP address. Not\n"
    L"                       with the plug-in's check, which keeps NTLM\n"
    L"  --auth-level N       authentication level 0..6 (default 6, Privacy)\n"
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
    L"  --exclude PROPERTY=VALUE\n"
    L"                       leave out instances whose PROPERTY equals VALUE (without case;\n"
    L"                       repeatable; a class without PROPERTY leaves nothing out)\n"
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
    L"           --exclude DelayedAutoStart=True --exclude Name=RemoteRegistry\n"
    L"           --exclude Name=sppsvc --exclude Name=CDPUserSvc --count -c 0\n"
    L"  wmicheck --class Win32_Process --count -w 300 -c 500\n"
    L"another computer, with a domain account (its password in a file only it can read):\n"
    L"  wmicheck -H SRV01 --user CORP\\monitor --password-file C:\\secrets\\wmi.txt\n"
    L"           --class Win32_Service --filter \"Name='Spooler'\" --property State\n"
    L"           --op EXA --value Running\n";

ReachingAccount AccountReachingWmi(const RunnerOptions& options, Auth auth) {
    ReachingAccount account;
    if (options.user.empty()) return account;
    // The host as the bridge names the computer it connects to.
    size_t begin = 0, end = options.host.size();
    while (end > begin && options.host[end - 1] == L'\\') --end;
    while (begin < end && options.host[begin] == L'\\') ++begin;
    const std::wstring host = options.host.empty() ? L"." : options.host.substr(begin, end - begin);
    const com::ConnectionAccount connection =
        com::AccountOfConnection(host, options.user, options.domain.empty() ? nullptr : &options.domain);
    const com::AuthenticationService service = auth == Auth::Kerberos    ? com::AuthenticationService::Kerberos
                                               : auth == Auth::Negotiate ? com::AuthenticationService::Negotiate
                                                                         : com::AuthenticationService::Ntlm;
    const com::ServiceAccount sent = com::AccountForService(host, options.user, connection, service);
    account.user = sent.user;
    account.authority = sent.authority;
    account.name = connection.hasDomain ? connection.domain + L"\\" + connection.user : connection.user;
    return account;
}

std::wstring ReachingAccount::Who() const { return name.empty() ? L"this process's own account" : name; }

std::wstring ReachingAccount::Detailed() const {
    if (name.empty()) return Who();
    return name + L" (user " + user + L", authority " + (authority.empty() ? L"none" : authority) + L")";
}
