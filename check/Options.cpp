#include "Options.h"

// The usage texts, from parts both builds share.
#define CHECK_OPTIONS \
    "check options:\n" \
    "  --namespace NS       WMI namespace (default root\\cimv2)\n" \
    "  --class CLASS        WMI class, e.g. Win32_Service\n" \
    "  --filter WQL         condition of the instance query, e.g. \"Name='Eventlog'\"\n" \
    "  --property NAME      property to compare (names are case-sensitive)\n" \
    "  --op CODE            CON (contains), NCO (does not contain), EXA (equals), DIF\n" \
    "                       (differs), LES (<), LEQ (<=), MOR (>), MEQ (>=)\n" \
    "  --value TEXT         compare value\n"
#define PLUGIN_OPTIONS \
    "monitoring-plugin options:\n" \
    "  --match all|any|none every instance, at least one, or no instance must satisfy --op\n" \
    "                       (default all when --op is given)\n" \
    "  -w, --warning RANGE  warning range for the number in --property (or the count)\n" \
    "  -c, --critical RANGE critical range; the worst instance decides, critical over warning\n" \
    "                       RANGE: N alerts outside 0..N, N: below N, ~:N above N,\n" \
    "                       N:M outside N..M, @N:M inside N..M (ends included);\n" \
    "                       decimals with \".\" and negative numbers allowed\n" \
    "  --count              apply the ranges to the number of instances the filter returns\n" \
    "  --label PROPERTY     label of each instance in the text and the performance data\n" \
    "                       (default: the key's value in the instance's path, e.g. C:)\n" \
    "  --allow-empty        a query that returns no instance is OK (default UNKNOWN;\n" \
    "                       with --count no instance is a count of 0)\n" \
    "  --json               print the result as one JSON object instead of the line: state,\n" \
    "                       exit_code, text, perfdata, count, instances [label, value, state]\n" \
    "  --percent-of PROPERTY the value is 100 x --property / PROPERTY of the same instance\n" \
    "                       (an instance whose PROPERTY is 0, null or no number is UNKNOWN)\n" \
    "  --age                --property is a CIM datetime; the value is its age in seconds\n" \
    "  --exclude PROPERTY=VALUE\n" \
    "                       leave out instances whose PROPERTY equals VALUE (without case;\n" \
    "                       repeatable; a class without PROPERTY leaves nothing out)\n" \
    "  --uom UNIT           unit of the performance data: s, ms, us, %, B, KB, MB, GB, TB,\n" \
    "                       c or none (default % with --percent-of, s with --age, else\n" \
    "                       none; not with --count)\n"

namespace {

const char kWindowsUsage[] =
    "usage: wmicheck [--host NAME] [--timeout SECONDS] CHECK OPTIONS [PLUGIN OPTIONS]\n"
    "       wmicheck [--host NAME] [--timeout SECONDS] (--param STRING | --last-instance CHECK OPTIONS)\n"
    "                [--print-param]\n"
    "       wmicheck --configure [--host NAME] [--timeout SECONDS] [--param STRING]\n"
    "       wmicheck --diagnose [--host NAME --user USER [--domain DOMAIN] [--password-file FILE]]\n"
    "                [--auth negotiate|kerberos|ntlm]\n"
    "\n"
    "Runs one WMI check and prints its result on one line, as a monitoring plugin: every\n"
    "instance counts, the line reads\n"
    "  WMI <STATE> - <text> | <performance data>\n"
    "and the exit code is 0 OK, 1 WARNING, 2 CRITICAL or 3 UNKNOWN.\n"
    "With --param, --last-instance or --print-param the check runs through the plug-in\n"
    "ostrel.WMICom exactly as the monitoring host runs it instead: the last instance that\n"
    "has the property decides, and the exit code is 0 (the condition holds), 2 (it does\n"
    "not, or an error text) or 3 (the check could not run). --configure and --diagnose\n"
    "do what they say below. Any other option keeps the monitoring-plugin form.\n"
    "Options take their value as --name VALUE or --name=VALUE, short ones as -w 80 or\n"
    "-w80; a value may begin with \"-\" (-w -10:). Quote a value that has blanks.\n"
    "\n"
    "  -h, --help           this text\n"
    "  -V, --version        the release, then exit\n"
    "  -v, --verbose        the steps on standard error: the account as it reached WMI,\n"
    "                       the query, the time of each step (-vv and more: the same)\n"
    "  -H, --host NAME      computer to check (default \".\", the local one); --hostname too\n"
    "  -t, --timeout SECONDS time-out in seconds, above 0 and at most 86400 (default 30).\n"
    "                       Whatever WMI does, a monitoring-plugin run ends within it plus\n"
    "                       1 s, the plug-in's check within three times it plus 2 s, and\n"
    "                       --diagnose each of its steps within it and all within four\n"
    "                       times it plus 2 s\n"
    "  --param STRING       a whole check parameter string, as the host stores it\n"
    "  --last-instance      the plug-in's check, as the monitoring host runs it, from the\n"
    "                       check options\n"
    "  --print-param        print the plug-in's parameter string before its check (its PWD\n"
    "                       field holds the password encoded, not encrypted)\n"
    "  --configure          open the plug-in's configuration form for the check (a new\n"
    "                       one without --param) and print the parameter string it\n"
    "                       leaves: the new one after OK, the given one after the close box\n"
    "  --diagnose           check this installation (bitness, registered DLLs, COM\n"
    "                       security, a local query) and, with --host, a connection and\n"
    "                       query of that computer, saying what to fix for each failure\n"
    CHECK_OPTIONS
    "  --user USER          account for another computer: DOMAIN\\user, user@domain, or\n"
    "                       user with --domain; without it the caller's own identity is\n"
    "                       used and no password is sent\n"
    "  --domain DOMAIN      the account's domain (a computer's name for its local account)\n"
    "  --password PASSWORD  password (an empty one counts as none); other users can see\n"
    "                       it in process listings\n"
    "  --password-file FILE the password from the first line of FILE (UTF-8, or UTF-16 with\n"
    "                       a byte order mark); with --user and neither option, the\n"
    "                       environment variable WMICHECK_PASSWORD is read. A user with\n"
    "                       no password is refused before connecting: Windows refuses a\n"
    "                       blank one over the network, and a failed logon counts towards\n"
    "                       the account's lockout (--param excepted)\n"
    "  --auth negotiate|kerberos|ntlm\n"
    "                       how to authenticate: negotiate (Kerberos where the domain\n"
    "                       offers it, else NTLM; the default), kerberos, or ntlm. Kerberos\n"
    "                       needs the computer's name in --host, not its IP address. Not\n"
    "                       with the plug-in's check, which keeps NTLM\n"
    "  --auth-level N       authentication level 0..6 (default 6, Privacy)\n"
    "  --imp-level N        impersonation level 0..4 (default 3, Impersonate)\n"
    PLUGIN_OPTIONS
    "\n"
    "Output goes to the console as Unicode; redirected to a file or pipe it is UTF-8.\n"
    "Exit codes of --configure: 0 the form was shown and closed, 3 it could not be shown.\n"
    "\n"
    "common checks (the README has more): free space per local disk in % (warning below\n"
    "20 %, critical below 10 %); CPU load; uptime (critical below 10 minutes: a reboot);\n"
    "automatic services not running (critical at 1 or more); processes running:\n"
    "  wmicheck --class Win32_LogicalDisk --filter \"DriveType=3\" --property FreeSpace\n"
    "           --percent-of Size -w 20: -c 10:\n"
    "  wmicheck --class Win32_Processor --property LoadPercentage --uom % -w 80 -c 95\n"
    "  wmicheck --class Win32_OperatingSystem --property LastBootUpTime --age -c 600:\n"
    "  wmicheck --class Win32_Service --filter \"StartMode='Auto' AND State<>'Running'\"\n"
    "           --exclude DelayedAutoStart=True --exclude Name=RemoteRegistry\n"
    "           --exclude Name=sppsvc --exclude Name=CDPUserSvc --count -c 0\n"
    "  wmicheck --class Win32_Process --count -w 300 -c 500\n"
    "another computer, with a domain account (its password in a file only it can read):\n"
    "  wmicheck -H SRV01 --user CORP\\monitor --password-file C:\\secrets\\wmi.txt\n"
    "           --class Win32_Service --filter \"Name='Spooler'\" --property State\n"
    "           --op EXA --value Running\n";

const char kLinuxUsage[] =
    "usage: wmicheck --host NAME [--user USER] [--auth METHOD] [WINRM OPTIONS] CHECK OPTIONS\n"
    "                [PLUGIN OPTIONS]\n"
    "       wmicheck --diagnose --host NAME [--user USER] [--auth METHOD] [WINRM OPTIONS]\n"
    "\n"
    "Runs one WMI check of a Windows computer over WinRM (WS-Management) and prints its\n"
    "result on one line, as a monitoring plugin: every instance counts, the line reads\n"
    "  WMI <STATE> - <text> | <performance data>\n"
    "and the exit code is 0 OK, 1 WARNING, 2 CRITICAL or 3 UNKNOWN.\n"
    "Options take their value as --name VALUE or --name=VALUE, short ones as -w 80 or\n"
    "-w80; a value may begin with \"-\" (-w -10:). Quote a value that has blanks.\n"
    "--param, --last-instance, --print-param, --configure, --auth-level and --imp-level\n"
    "are wmicheck.exe's (Windows-only).\n"
    "\n"
    "  -h, --help           this text\n"
    "  -V, --version        the release, then exit\n"
    "  -v, --verbose        the steps on standard error\n"
    "  -H, --host NAME      computer to check (needed)\n"
    "  -t, --timeout SECONDS time-out in seconds, above 0 and at most 86400 (default 30);\n"
    "                       --diagnose each of its steps within it\n"
    "  --diagnose           check the way to --host step by step: the name, TCP to the\n"
    "                       port, TLS, WinRM's Identify, the logon and its mechanism,\n"
    "                       the encryption, a query of Win32_OperatingSystem; each step\n"
    "                       on a line with what to check when it fails; exit code 0 when\n"
    "                       all passed, 1 a warning, 2 a step failed\n"
    CHECK_OPTIONS
    "  --user USER          the account WinRM authenticates: DOMAIN\\user, user@domain, or\n"
    "                       user with --domain\n"
    "  --domain DOMAIN      the account's domain\n"
    "  --password-file FILE the password from the first line of FILE (UTF-8, or UTF-16 with\n"
    "                       a byte order mark); with --user and without it, the\n"
    "                       environment variable WMICHECK_PASSWORD is read (never a\n"
    "                       password on the command line, which other users can read)\n"
    "  --auth METHOD        negotiate (the default: Kerberos, else NTLM), kerberos, ntlm, or\n"
    "                       basic (over --https only, the target's local accounts)\n"
    "WinRM options (Linux only):\n"
    "  --keytab FILE        Kerberos: the keys of the account in --user (a service account)\n"
    "  --realm REALM        Kerberos: the realm of a DOMAIN\\user account (default: the\n"
    "                       default realm of krb5.conf)\n"
    "  --address ADDR       connect to ADDR; --host still names the service principal\n"
    "                       (HTTP/NAME) and the certificate's name\n"
    "  --https              WinRM over HTTPS\n"
    "  --port N             the WinRM port (default 5986 with --https, else 5985)\n"
    "  --ca-file FILE       the certificate authorities HTTPS trusts (PEM)\n"
    "  --insecure           HTTPS without checking the computer's certificate\n"
    "  --proxy URL          the HTTP proxy to reach the computer through\n"
    PLUGIN_OPTIONS
    "\n"
    "another computer, with the poller's Kerberos ticket (kinit, or KRB5CCNAME):\n"
    "  wmicheck -H srv01.corp.example --class Win32_Service\n"
    "           --filter \"Name='Spooler'\" --property State --op EXA --value Running\n"
    "with a service account's keytab, connecting to the address the poller knows:\n"
    "  wmicheck -H srv01.corp.example --address 10.0.0.5 --user svc-poller@CORP.EXAMPLE\n"
    "           --keytab /etc/wmicheck/svc-poller.keytab --class Win32_Service\n"
    "           --filter \"Name='Spooler'\" --property State --op EXA --value Running\n";

}  // namespace

const char* UsageText(Platform platform) { return platform == Platform::Windows ? kWindowsUsage : kLinuxUsage; }

const char* const kUsage = kThisPlatform == Platform::Windows ? kWindowsUsage : kLinuxUsage;
