"""What an engine recorded for the Linux route's services, against the same
checks run by hand with the installed wmicheck in the root: the state is
wmicheck's exit code, the text and the performance data are wmicheck's
(an age in seconds may have grown between the two runs). The results must
hold OK, WARNING and CRITICAL.
usage: engine-results.py nagios|icinga2 IN_ROOT ROOT INSIDE PORT"""
import glob
import json
import re
import shlex
import subprocess
import sys

engine, in_root, root, inside, port = sys.argv[1:6]
work = root + inside
# Each common check of the README as the example services run it, by its
# Nagios description and its Icinga 2 name, on both servers; and one service
# of the test's own whose threshold makes drive C: (25 % free) a WARNING.
COMMON = [
    ("Disk free", "disk-free", "--class Win32_LogicalDisk --filter DriveType=3 --property FreeSpace --percent-of Size -w 20: -c 10:"),
    ("Memory free", "memory-free", "--class Win32_OperatingSystem --property FreePhysicalMemory --percent-of TotalVisibleMemorySize -w 10: -c 5:"),
    ("CPU load", "cpu-load", "--class Win32_Processor --property LoadPercentage --uom % -w 80 -c 95"),
    ("Uptime", "uptime", "--class Win32_OperatingSystem --property LastBootUpTime --age -c 600:"),
    ("Automatic services", "services-auto", "--class Win32_Service --filter \"StartMode='Auto' AND State<>'Running'\" "
     "--exclude DelayedAutoStart=True --exclude Name=RemoteRegistry --exclude Name=sppsvc --exclude Name=CDPUserSvc --count -c 0"),
    ("Processes", "processes", "--class Win32_Process --count -w 300 -c 500"),
    ("Event log service", "service-EventLog", "--class Win32_Service --filter \"Name='EventLog'\" --property State --op EXA --value Running --match all"),
]
column = 0 if engine == "nagios" else 1
expected = {(row[column], host): row[2] for row in COMMON for host in ("srv01.corp.example", "svcfail01")}
expected[(("Disk free 30", "disk-free-30")[column], "srv01.corp.example")] = COMMON[0][2].replace("-w 20:", "-w 30:")


def by_hand(host, arguments):
    run = subprocess.run([in_root, root, "env", "KRB5_CONFIG=%s/krb5.conf" % inside, "/usr/lib/nagios/plugins/wmicheck",
                          "-H", host, "--address", "127.0.0.1", "--port", port, "--user", "svc-poller@CORP.EXAMPLE",
                          "--keytab", inside + "/svc-poller.keytab"] + shlex.split(arguments),
                         capture_output=True, text=True)
    text, _, perfdata = run.stdout.strip().partition("|")
    return run.returncode, text.strip(), perfdata.strip()


def records():
    """(service, host) -> (state, text, perfdata, where) as the engine has them."""
    found = {}
    if engine == "nagios":
        status = open(work + "/nagios/status.seen").read()
        for block in re.findall(r"^servicestatus \{\n(.*?)\n\t\}", status, re.S | re.M):
            fields = dict(line.strip().split("=", 1) for line in block.splitlines())
            if fields["has_been_checked"] == "1":
                found[(fields["service_description"], fields["host_name"])] = (
                    int(fields["current_state"]), fields["plugin_output"], fields["performance_data"], "status file")
        return found
    # The PerfdataWriter's lines (its template: tab-separated NAME::VALUE).
    for name in glob.glob(work + "/icinga2/perfdata-seen/service-perfdata*"):
        for line in open(name, encoding="utf-8"):
            fields = dict(field.split("::", 1) for field in line.rstrip("\n").split("\t"))
            found[(fields["SERVICE"], fields["HOST"])] = (
                int(fields["STATE"]), fields["OUTPUT"], fields["PERFDATA"], "perfdata file")
    # The state the daemon kept when it stopped: each service's last result.
    data, i = open(work + "/icinga2/data/icinga2.state", "rb").read(), 0
    while i < len(data):
        j = data.index(b":", i)
        n = int(data[i:j])
        item, i = json.loads(data[j + 1:j + 1 + n]), j + n + 2
        result = item.get("update", {}).get("last_check_result")
        if item.get("type") == "Service" and result:
            host, service = item["name"].split("!", 1)
            found[(service, host + " (state)")] = (
                int(result["state"]), result["output"], " ".join(result.get("performance_data") or []), "state file")
    return found


def same(a, b):
    """Equal but for an age in seconds, blanks at the ends, and the quotes
    around a label without blanks (Icinga 2 writes perfdata without them)."""
    def plain(text):
        return re.sub(r"'([^' =]+)'=", r"\1=", re.sub(r"\b\d+s\b", "Ns", text)).strip()
    return plain(a) == plain(b)


recorded = records()
failures, states = 0, set()
for (service, host), arguments in sorted(expected.items()):
    code, text, perfdata = by_hand(host, arguments)
    # Nagios shows a semicolon in a plugin's text as a colon.
    if engine == "nagios":
        text = text.replace(";", ":")
    for key in [(service, host)] + ([(service, host + " (state)")] if engine == "icinga2" else []):
        state, out, perf, where = recorded.get(key, (None, None, None, "nowhere"))
        if state == code and same(out, text) and same(perf, perfdata):
            states.add(state)
            print("ok   %s %s (%s): %d %s | %s" % (host, service, where, state, out, perf))
        else:
            failures += 1
            print("FAIL %s %s (%s): the engine: %s [%s] [%s]; wmicheck: %d [%s] [%s]" % (
                host, service, where, state, out, perf, code, text, perfdata))
if not {0, 1, 2} <= states:
    failures += 1
    print("FAIL the engine recorded the states %s, not OK, WARNING and CRITICAL" % sorted(states))
sys.exit(failures != 0)
