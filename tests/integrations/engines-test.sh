#!/usr/bin/env bash
# The shipped definitions (integrations/) checked by the engines themselves.
# usage: engines-test.sh MODE WMICHECK.EXE WORKDIR
#   nagios-verify      nagios4 -v on a configuration with the commands and the
#                      example services
#   nagios-nrpe        a Nagios core runs the example services with check_nrpe
#                      against an NRPE daemon that stands in for the Windows
#                      agent: its commands are the agent ini's, with wmicheck
#                      under Wine (the shared test prefix) for the Windows
#                      path; the engine's status file must hold each service's
#                      state, output and performance data as wmicheck gave them
#   icinga2-verify     icinga2 daemon -C on a config master with a master zone,
#                      agent zones, a satellite zone and the global zone, the
#                      shipped files in zones.d/global-templates: each service
#                      runs where its host's route says; an agent receives the
#                      CheckCommand; the CheckCommand's arguments are the
#                      options of `wmicheck --help` with their descriptions,
#                      and the agent ini's commands are the README's common
#                      checks and the Nagios commands'
#   icinga2-satellite  icinga2 daemon -C on the satellite, with what the
#                      master sends it: the satellite runs its hosts' services
#                      itself, against their addresses
set -u
mode=$1 exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2") work=$3
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
defs=$top/integrations
fail() { echo "FAIL $*"; exit 1; }
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)

. "$here/nagios-config.sh"

# Icinga 2 as it runs on one node: DIR holds zones.conf, zones.d/ (a config
# master's own files) and data/api/zones/ (what a node receives from its
# parent). icinga2_validate DIR NODE runs icinga2 daemon -C there (its output
# in DIR/validate.out) and keeps its objects in DIR/cache.
icinga2_validate() {
  mkdir -p "$1/zones.d" "$1/data" "$1/cache"
  printf 'include "%s/zones.conf"\n' "$1" > "$1/icinga2.conf"
  icinga2 daemon -C -c "$1/icinga2.conf" -DNodeName="$2" -DConfiguration.ZonesDir="$1/zones.d" \
    -DConfiguration.DataDir="$1/data" -DConfiguration.CacheDir="$1/cache" \
    -DConfiguration.RunAsUser="$(id -un)" -DConfiguration.RunAsGroup="$(id -gn)" > "$1/validate.out" 2>&1 ||
    fail "icinga2 daemon -C as $2: $(grep -E 'critical|warning' "$1/validate.out")"
}
# Where each host's services run, from the objects of icinga2_validate DIR:
# "COUNT HOST ZONE COMMAND_ENDPOINT --host" per host ("-" for none).
icinga2_routes() {
  python3 - "$1/cache/icinga2.debug" <<'PY' | sort | uniq -c | sed 's/^ *//'
import json, sys
data, i = open(sys.argv[1], "rb").read(), 0
while i < len(data):
    j = data.index(b":", i)
    n = int(data[i:j])
    item, i = json.loads(data[j + 1:j + 1 + n]), j + n + 2
    if item["type"] == "Service":
        p = item["properties"]
        print(p["host_name"], p.get("zone") or "-", p.get("command_endpoint") or "-",
              (p.get("vars") or {}).get("wmicheck_host", "-"))
PY
}
# The example hosts of every route: what an administrator writes into the
# config master's zones.d/ (their addresses are loopback ones; their host
# check sends nothing).
icinga2_master() {  # icinga2_master DIR
  mkdir -p "$1/zones.d/global-templates" "$1/zones.d/master" "$1/zones.d/windows-satellite"
  cp "$defs/icinga2/wmicheck-command.conf" "$defs/icinga2/wmicheck-services.conf" "$1/zones.d/global-templates/"
  cat > "$1/zones.conf" <<'CONF'
object Endpoint "master1" { }
object Zone "master" { endpoints = [ "master1" ] }
object Endpoint "winserver01" { }
object Zone "winserver01" { endpoints = [ "winserver01" ]; parent = "master" }
object Endpoint "winpoll01" { }
object Zone "winpoll01" { endpoints = [ "winpoll01" ]; parent = "master" }
object Endpoint "winsat01" { }
object Zone "windows-satellite" { endpoints = [ "winsat01" ]; parent = "master" }
object Zone "global-templates" { global = true }
CONF
  cat > "$1/zones.d/global-templates/host-check.conf" <<'CONF'
object CheckCommand "host-alive" { command = [ "/bin/true" ] }
CONF
  cat > "$1/zones.d/master/hosts.conf" <<'CONF'
object Host "winserver01" {
  import "wmicheck-agent"
  check_command = "host-alive"
  address = "127.0.0.11"
  vars.windows_services = [ "EventLog", "Spooler" ]
}
object Host "winpoll01" {
  import "wmicheck-agent"
  check_command = "host-alive"
  address = "127.0.0.12"
}
object Host "srv02" {
  import "wmicheck-remote"
  check_command = "host-alive"
  address = "127.0.0.22"
  vars.wmicheck_poller = "winpoll01"
}
CONF
  # An ordinary Windows host that never chose wmicheck: no service of it.
  cat > "$1/zones.d/master/plain.conf" <<'CONF'
object Host "winplain01" {
  check_command = "host-alive"
  address = "127.0.0.31"
  vars.os = "Windows"
  vars.windows_services = [ "EventLog" ]
}
CONF
  cat > "$1/zones.d/windows-satellite/hosts.conf" <<'CONF'
object Host "winsat01" {
  import "wmicheck-agent"
  check_command = "host-alive"
  address = "127.0.0.13"
}
object Host "srv01" {
  import "wmicheck-remote"
  check_command = "host-alive"
  address = "127.0.0.21"
  vars.windows_services = [ "EventLog" ]
  vars.wmicheck_services_ignored = [ "gupdate" ]
}
CONF
}
# A node's configuration in DIR: its zones.conf from standard input, and
# what the config master in MASTER sends it: the global zone's files and its
# own zone's. icinga2_node MASTER DIR ZONE < zones.conf
icinga2_node() {
  mkdir -p "$2/data/api/zones"
  cat > "$2/zones.conf"
  for zone in global-templates "$3"; do
    [ -d "$1/zones.d/$zone" ] || continue
    mkdir -p "$2/data/api/zones/$zone"
    cp -r "$1/zones.d/$zone" "$2/data/api/zones/$zone/_etc"
  done
}
# The parent and global zones, as every node's zones.conf has them.
parent_zones='object Endpoint "master1" { }
object Zone "master" { endpoints = [ "master1" ] }
object Zone "global-templates" { global = true }'

case $mode in
nagios-verify)
  command -v nagios4 >/dev/null || fail "nagios4 is missing (make setup installs nagios4-core)"
  nagios_config "$work" "$(id -un)" "$(id -gn)" "$defs/nagios/wmicheck-commands.cfg" "$defs/nagios/wmicheck-services.cfg" \
    "$here/nagios-objects.cfg" > "$work/nagios.cfg"
  printf '$USER1$=/usr/lib/nagios/plugins\n' > "$work/resource.cfg"
  out=$(nagios4 -v "$work/nagios.cfg" 2>&1) || fail "nagios4 -v: $out"
  grep -q "Checked 7 services" <<<"$out" && grep -q "Checked 9 commands" <<<"$out" &&
    grep -q "Total Errors: *0" <<<"$out" || fail "nagios4 -v: $out"
  echo "ok   nagios4 -v: 7 example services, 8 wmicheck commands through check_nrpe, no errors"
  ;;

nagios-nrpe)
  nrpe=/usr/sbin/nrpe check_nrpe=/usr/lib/nagios/plugins/check_nrpe
  for f in "$(command -v nagios4)" "$nrpe" "$check_nrpe"; do
    [ -x "$f" ] || fail "${f:-nagios4} is missing (make setup installs nagios4-core, nagios-nrpe-server and nagios-nrpe-plugin)"
  done
  : "${WINEPREFIX:?the shared test prefix}"
  start=$(date +%s)
  mkdir "$work/printed" "$work/plugins"
  # NRPE refuses to run as root: started as root it becomes the user nagios
  # (nrpe_user), whose commands then need a Wine prefix of their own (Wine
  # runs only in a prefix its user owns). Otherwise the daemon runs as this
  # user, in the shared test prefix.
  agent_prefix=$WINEPREFIX agent_home=${HOME:-/root} as_agent=() agent_user=
  if [ "$(id -u)" -eq 0 ]; then
    id nagios >/dev/null 2>&1 || fail "no user nagios (nagios4-core makes it)"
    agent_user="nrpe_user=nagios
nrpe_group=nagios"
    # Beside the work folder, kept from run to run: making a Wine prefix
    # takes minutes on a busy machine, registering in it seconds.
    agent_home=$work.agent-home agent_prefix=$work.agent-home/prefix
    mkdir -p "$agent_home" && touch "$work/nrpe.log" "$work/nrpe.pid"
    chown nagios: "$agent_home" "$work/printed" "$work/nrpe.log" "$work/nrpe.pid"
    as_agent=(setpriv --reuid=nagios --regid=nagios --init-groups env HOME="$agent_home")
    echo "waiting for the agent's Wine prefix as nagios, $agent_prefix (at most 400 s; made on the first run)"
    "${as_agent[@]}" WINEPREFIX="$agent_prefix" WINEARCH="${WINEARCH:-}" WINEDEBUG=-all \
      timeout 400 "$top/scripts/wine-register.sh" "$(dirname "$exe")/qvWMI.dll" "$(dirname "$exe")/ostrel.dll" \
      >/dev/null 2>&1 || fail "cannot register the DLLs in the agent's prefix as nagios within 400 s"
  fi
  # The agent's wmicheck.exe: wmicheck under Wine. It keeps what it printed
  # and its exit code, per argument list, to compare with what the engine
  # recorded.
  cat > "$work/wmicheck" <<SH
#!/usr/bin/env bash
export WINEPREFIX='$agent_prefix' WINEDEBUG=-all HOME='$agent_home' LC_ALL=C.UTF-8
key=$work/printed/\$(printf '%s\n' "\$@" | md5sum | cut -c1-32)
'$top/scripts/wine-run.sh' '$exe' "\$@" 2>/dev/null | tee "\$key"
status=\${PIPESTATUS[0]}
echo "\$status" > "\$key.status"
exit "\$status"
SH
  chmod +x "$work/wmicheck"
  # The NRPE daemon's commands are the agent ini's, the Windows path replaced
  # by the runner; arguments from the server stay as the ini has them. The
  # daemon runs a command through sh, which reads these argument lists as
  # Windows does only without $, ` and \ (none is needed).
  python3 - "$defs/agent/wmicheck-external-scripts.ini" "$work/wmicheck" > "$work/nrpe-commands.cfg" <<'PY' ||
import re, sys
ini, runner = sys.argv[1:3]
section, allow, commands = None, "false", []
for line in open(ini, encoding="utf-8"):
    line = line.strip()
    if not line or line.startswith(";"):
        continue
    if line.startswith("["):
        section = line.strip("[]")
        continue
    key, _, value = (field.strip() for field in line.partition("="))
    if section == "/settings/external scripts" and key == "allow arguments":
        allow = value
    elif section.startswith("/settings/external scripts/scripts/") and key == "command":
        found = re.match(r'"C:\\Program Files\\qvWMI\\wmicheck\.exe" (.*)$', value)
        if not found or re.search(r"[$`\\]", found.group(1)):
            sys.exit("cannot run as the agent would: " + line)
        commands.append("command[%s]=%s %s" % (section.rsplit("/", 1)[1], runner, found.group(1)))
print("dont_blame_nrpe=%d" % (allow == "true"))
print("\n".join(commands))
PY
    fail "the agent ini: $(cat "$work/nrpe-commands.cfg")"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat > "$work/nrpe.cfg" <<CFG
pid_file=$work/nrpe.pid
log_file=$work/nrpe.log
server_address=127.0.0.1
server_port=$port
allowed_hosts=127.0.0.1
command_timeout=60
$agent_user
include=$work/nrpe-commands.cfg
CFG
  # The engine's check_nrpe, told the test daemon's port.
  printf '#!/bin/sh\nexec %s -p %s "$@"\n' "$check_nrpe" "$port" > "$work/plugins/check_nrpe"
  chmod +x "$work/plugins/check_nrpe"
  printf '$USER1$=%s\n' "$work/plugins" > "$work/resource.cfg"
  nagios_config "$work" "$(id -un)" "$(id -gn)" "$defs/nagios/wmicheck-commands.cfg" "$defs/nagios/wmicheck-services.cfg" \
    "$here/nagios-objects.cfg" > "$work/nagios.cfg"
  nagios4 -v "$work/nagios.cfg" >/dev/null || fail "nagios4 -v on the run's configuration"

  pids=()
  cleanup() {
    kill "${pids[@]}" 2>/dev/null
    exec 9>&-
    wait
  }
  trap cleanup EXIT
  # The prefix's server runs for the whole test: seven checks start Wine at
  # once, which fails while a server is shutting down. A Wine program that
  # waits for input keeps it, until its input is closed.
  mkfifo "$work/keep"
  chmod a+r "$work/keep"
  "${as_agent[@]}" WINEPREFIX="$agent_prefix" WINEDEBUG=-all "$top/scripts/wine-run.sh" cmd /c pause \
    < "$work/keep" >/dev/null 2>&1 &
  exec 9>"$work/keep"
  "$nrpe" -c "$work/nrpe.cfg" -f > "$work/nrpe.out" 2>&1 &
  pids+=($!)
  # Each wait is bounded and says where it waits, so that a run on a busy
  # machine that runs out of time shows which step it was in.
  echo "waiting for the NRPE daemon on port $port (at most 60 s)"
  deadline=$((SECONDS + 60))
  until "$check_nrpe" -H 127.0.0.1 -p "$port" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] ||
      fail "the NRPE daemon does not answer on port $port: $(cat "$work/nrpe.out" "$work/nrpe.log" 2>/dev/null)"
    sleep 0.2
  done
  nagios4 "$work/nagios.cfg" > "$work/nagios.out" 2>&1 &
  pids+=($!)
  checked=0
  echo "waiting for Nagios to record 7 service results in its status file (at most 200 s)"
  deadline=$((SECONDS + 200))
  while [ $SECONDS -lt $deadline ]; do
    sleep 0.5
    [ -f "$work/status.dat" ] || continue
    checked=$(awk '/^servicestatus \{/{s=1} s&&/has_been_checked=1/{n++} /^\t\}/{s=0} END{print n+0}' "$work/status.dat")
    [ "$checked" -ge 7 ] && break
  done
  # One more status update after the last result; the engine removes its
  # status file when it stops.
  sleep 1.5
  cp "$work/status.dat" "$work/status.seen" 2>/dev/null
  cleanup
  trap - EXIT
  [ "$checked" -ge 7 ] || fail "the engine checked $checked of 7 services: $(tail -n 20 "$work/nagios.log" 2>/dev/null)"
  # Each service: its Nagios command's check_nrpe -c NAME, the agent ini's
  # NAME, what wmicheck printed for those arguments, what the engine holds.
  python3 - "$defs" "$work" <<'PY'
import hashlib, re, shlex, sys
defs, work = sys.argv[1:3]
remote = dict(re.findall(r"command_name\s+(\S+)\s+command_line\s+.*check_nrpe .*-c (\S+)",
                         open(defs + "/nagios/wmicheck-commands.cfg").read()))
agent = dict(re.findall(r'^\[/settings/external scripts/scripts/(\w+)\]\ncommand = "[^"]*wmicheck\.exe" (.*)$',
                        open(defs + "/agent/wmicheck-external-scripts.ini").read(), re.M))
failures = 0
for block in re.findall(r"^servicestatus \{\n(.*?)\n\t\}", open(work + "/status.seen").read(), re.S | re.M):
    status = dict(line.strip().split("=", 1) for line in block.splitlines())
    name = status["service_description"]
    arguments = shlex.split(agent.get(remote.get(status["check_command"]), ""))
    key = "%s/printed/%s" % (work, hashlib.md5("".join(a + "\n" for a in arguments).encode()).hexdigest())
    try:
        printed = open(key, encoding="utf-8").read().replace("\r", "").strip()
        exit_code = open(key + ".status").read().strip()
    except OSError:
        printed, exit_code = None, None
    output, _, perfdata = (printed or "").partition("|")
    # Nagios shows a semicolon in a plugin's text as a colon.
    output = output.strip().replace(";", ":")
    if (printed and status["current_state"] == exit_code and status["plugin_output"] == output
            and status["performance_data"] == perfdata.strip()):
        print("ok   %s: state %s, output and performance data as wmicheck gave them: %s" % (name, exit_code, printed))
    else:
        failures += 1
        print("FAIL %s: wmicheck gave [%s] (exit code %s); the engine: state %s, output [%s], perfdata [%s]" % (
            name, printed, exit_code, status["current_state"], status["plugin_output"], status["performance_data"]))
sys.exit(failures != 0)
PY
  status=$?
  echo "nagios through NRPE: $(( $(date +%s) - start )) s"
  exit $status
  ;;

icinga2-verify)
  command -v icinga2 >/dev/null || fail "icinga2 is missing (make setup installs icinga2-bin)"
  icinga2_master "$work/master"
  icinga2_validate "$work/master" master1
  routes=$(icinga2_routes "$work/master")
  expected='7 srv01 windows-satellite - $address$
6 srv02 master winpoll01 $address$
6 winpoll01 master winpoll01 -
6 winsat01 windows-satellite winsat01 -
8 winserver01 master winserver01 -'
  [ "$routes" = "$expected" ] || fail "the services' routes on the master (count, host, zone, command_endpoint, --host):
$routes
expected:
$expected"
  # As an administrator would look: the objects the validation kept.
  listed=$(icinga2 object list --type Service -DConfiguration.CacheDir="$work/master/cache" \
    -DConfiguration.RunAsUser="$(id -un)" -DConfiguration.RunAsGroup="$(id -gn)" 2>&1) ||
    fail "icinga2 object list: $listed"
  grep -q "winserver01!services-auto" <<<"$listed" || fail "icinga2 object list shows no wmicheck service: $listed"
  if grep -q "winplain01!" <<<"$listed"; then
    fail "a host with only vars.os = \"Windows\" got wmicheck services: $(grep "winplain01!" <<<"$listed")"
  fi
  echo "ok   icinga2 object list: the host with only vars.os = \"Windows\" has no wmicheck service"
  # The services check leaves out delayed starts, the default list and the
  # host's own additions; the uptime check is hard at its first failure.
  attribute() {  # attribute SERVICE NAME: its line in the listing
    awk -v s="Object '$1' of type 'Service':" -v a="* $2 = " '$0 == s {o=1; next} /^Object /{o=0}
      o && index($0, a) {sub(/^ *\* /, ""); print; exit}' <<<"$listed"
  }
  excluded=$(attribute 'srv01!services-auto' wmicheck_exclude)
  [ "$excluded" = 'wmicheck_exclude = [ "DelayedAutoStart=True", "Name=RemoteRegistry", "Name=sppsvc", "Name=CDPUserSvc", "Name=gupdate" ]' ] ||
    fail "srv01!services-auto: $excluded"
  attempts=$(attribute 'winserver01!uptime' max_check_attempts)
  [ "$attempts" = "max_check_attempts = 1" ] || fail "winserver01!uptime: $attempts"
  echo "ok   icinga2 object list: srv01!services-auto: $excluded; winserver01!uptime: $attempts"
  echo "ok   icinga2 daemon -C on the master: 33 services; each agent checks its own host, the poller and the satellite their hosts' addresses"
  # An agent receives the CheckCommand from the global zone.
  icinga2_node "$work/master" "$work/agent" winserver01 <<CONF
$parent_zones
object Endpoint "winserver01" { }
object Zone "winserver01" { endpoints = [ "winserver01" ]; parent = "master" }
CONF
  icinga2_validate "$work/agent" winserver01
  grep -q "Instantiated 2 CheckCommands" "$work/agent/validate.out" ||
    fail "the agent lacks the CheckCommand: $(cat "$work/agent/validate.out")"
  echo "ok   icinga2 daemon -C on the agent winserver01: the CheckCommand arrives through the global zone"

  # Arguments and descriptions against the help; the agent's commands
  # against the README and the Nagios commands.
  help=$(WINEDEBUG=-all "$top/scripts/wine-run.sh" "$exe" --help | tr -d '\r')
  [ -n "$help" ] || fail "wmicheck --help printed nothing"
  printf '%s\n' "$help" > "$work/help.txt"
  python3 "$here/check-definitions.py" "$defs" "$top/README.md" "$work/help.txt" || exit 1
  ;;

icinga2-satellite)
  command -v icinga2 >/dev/null || fail "icinga2 is missing (make setup installs icinga2-bin)"
  icinga2_master "$work/master"
  icinga2_node "$work/master" "$work/satellite" windows-satellite <<CONF
$parent_zones
object Endpoint "winsat01" { }
object Zone "windows-satellite" { endpoints = [ "winsat01" ]; parent = "master" }
CONF
  icinga2_validate "$work/satellite" winsat01
  routes=$(icinga2_routes "$work/satellite")
  expected='7 srv01 windows-satellite - $address$
6 winsat01 windows-satellite winsat01 -'
  [ "$routes" = "$expected" ] || fail "the services' routes on the satellite (count, host, zone, command_endpoint, --host):
$routes
expected:
$expected"
  echo "ok   icinga2 daemon -C on the satellite winsat01: it checks srv01 at its address with the account of wmicheck-remote, and itself as its own agent"
  ;;
*) fail "unknown mode $mode" ;;
esac
