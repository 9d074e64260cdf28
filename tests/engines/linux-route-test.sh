#!/usr/bin/env bash
# The Linux route's engine definitions, as the package installs them, run by
# the engines inside a clean Debian 12 root (tests/root/clean-root.sh): no
# Wine anywhere. The Linux wmicheck is installed into the root, and checks
# the WinRM test double on this machine's loopback with Kerberos (a test KDC
# for CORP.EXAMPLE; the account svc-poller with its keytab).
# usage: linux-route-test.sh MODE BUILD_LINUX ROOT
#   verify   nagios4 -v and icinga2 daemon -C on the installed definitions of
#            both routes: a host that only says vars.os = "Windows" gets no
#            service, a WinRM host gets the Linux CheckCommand's services
#   nagios   a Nagios core runs the WinRM example services of two servers
#            (one with a stopped automatic service) and one service with a
#            threshold of its own; its status file must hold OK, WARNING and
#            CRITICAL, each with wmicheck's text and performance data
#   icinga2  the same with an Icinga 2 daemon, read from its PerfdataWriter's
#            file and from the state it keeps
# Everything it writes in the root is under ROOT/tmp/engines-MODE/, removed
# at the end with wmicheck itself.
set -u
mode=$1 build=$(cd "$2" && pwd) root=$(cd "$3" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
name=engines-$mode
work=$root/tmp/$name inside=/tmp/$name
fail() { echo "FAIL $*"; exit 1; }
in_root=("$top/tests/root/in-root.sh" "$root")
apt_in_root() { "${in_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o Dpkg::Use-Pty=0 "$@"; }

rm -rf "$work" && mkdir -p "$work"
pids=() removal=
cleanup() {
  [ ${#pids[@]} -eq 0 ] || { kill "${pids[@]}" 2>/dev/null; wait "${pids[@]}" 2>/dev/null; }
  case $removal in
  purge) apt_in_root purge wmicheck >/dev/null ;;
  files) rm -rf "$root/usr/lib/nagios/plugins/wmicheck" "$root/usr/share/wmicheck" ;;
  esac
  [ -z "$removal" ] || { apt_in_root autoremove --purge >/dev/null; apt_in_root clean; }
  rm -rf "$work"
}
trap cleanup EXIT

# Installs wmicheck into the root: the package, where scripts/deb.sh builds
# one (apt brings what it depends on, purged at the end); else the package's
# layout by hand, with the libraries it needs from apt, marked as pulled in
# so that autoremove takes them out again.
install_wmicheck() {
  if [ -x "$top/scripts/deb.sh" ]; then
    "$top/scripts/deb.sh" "$build" "$work/deb" > "$work/deb.log" 2>&1 || fail "scripts/deb.sh: $(tail -n 5 "$work/deb.log")"
    local deb
    deb=$(cd "$work/deb" && ls wmicheck_*.deb) || fail "scripts/deb.sh made no wmicheck_*.deb"
    removal=purge
    apt_in_root install --no-install-recommends "$inside/deb/$deb" > "$work/apt.log" 2>&1 ||
      fail "apt-get install ./$deb in the root: $(tail -n 5 "$work/apt.log")"
  else
    local libraries="libcurl4 libpugixml1v5 libgssapi-krb5-2 gss-ntlmssp" missing
    missing=$("${in_root[@]}" dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' $libraries 2>/dev/null |
      awk '$1 != "ii" {print $2}'; for p in $libraries; do
        "${in_root[@]}" dpkg-query -W "$p" >/dev/null 2>&1 || echo "$p"; done | sort -u)
    removal=files
    if [ -n "$missing" ]; then
      apt_in_root install --no-install-recommends $missing > "$work/apt.log" 2>&1 ||
        fail "apt-get install $missing in the root: $(tail -n 5 "$work/apt.log")"
      "${in_root[@]}" apt-mark auto $missing > /dev/null
    fi
    install -D -m 755 "$build/bin/wmicheck" "$root/usr/lib/nagios/plugins/wmicheck"
    mkdir -p "$root/usr/share/wmicheck"
    cp -r "$top/integrations/nagios" "$top/integrations/icinga2" "$root/usr/share/wmicheck/"
  fi
  "${in_root[@]}" /usr/lib/nagios/plugins/wmicheck --version > /dev/null || fail "the installed wmicheck does not run in the root"
}

# The installed definitions, as an administrator includes them.
nagios_defs=/usr/share/wmicheck/nagios icinga2_defs=/usr/share/wmicheck/icinga2
servers="srv01.corp.example svcfail01"

# A KDC and the double on the loopback; the poller's keytab and a krb5.conf
# for the test realm in the root's tmp, the keytab owned by the engines'
# user (nagios, for Nagios and Icinga 2 alike), mode 0400.
start_servers() {
  local kdc double started
  read -r kdc _ <<<"$(bash "$top/tests/kdc/start-kdc.sh" "$work/kdc" $servers)" || fail "the test KDC did not start"
  pids+=("$kdc")
  started=$(DOUBLE_PASSWORD=unused "$top/tests/winrmdouble/start-double.sh" "$build/bin/winrm-double" "$work/double" -- \
    --keytab "$work/kdc/http.keytab") || fail "the WinRM double did not start"
  read -r double _ port <<<"$started"
  pids+=("$double")
  sed "s|$root||g" "$work/kdc/krb5.conf" > "$work/krb5.conf"
  cp "$work/kdc/svc-poller.keytab" "$work/svc-poller.keytab"
  "${in_root[@]}" sh -c "chown nagios:nagios $inside/svc-poller.keytab && chmod 0400 $inside/svc-poller.keytab" ||
    fail "no user nagios in the root"
}


# The Nagios objects around the installed definitions: the engine's own
# (tests/integrations/nagios-objects.cfg) and the two servers in the host
# group windows-winrm, with the double's port as their WinRM option, and one
# service with a threshold of its own (drive C: has 25 % free).
nagios_setup() {  # nagios_setup CREDENTIAL_OPTION OBJECT_FILE...
  local credential=$1; shift
  mkdir -p "$work/nagios"
  cp "$top/tests/integrations/nagios-objects.cfg" "$work/nagios/"
  {
    printf 'define hostgroup {\n    hostgroup_name windows-winrm\n    alias Windows servers over WinRM\n}\n'
    for host in $servers; do
      printf 'define host {\n    use generic-host\n    host_name %s\n    address 127.0.0.1\n' "$host"
      printf '    hostgroups windows-winrm\n    _WMICHECK_OPTIONS --port %s\n}\n' "${port:-5985}"
    done
    printf 'define service {\n    use generic-service\n    host_name srv01.corp.example\n'
    printf '    service_description Disk free 30\n    check_command wmicheck_winrm_disk_free!30:!10:\n}\n'
  } > "$work/nagios/winrm-objects.cfg"
  printf '$USER1$=/usr/lib/nagios/plugins\n$USER10$=svc-poller@CORP.EXAMPLE\n$USER11$=%s\n' "$credential" \
    > "$work/nagios/resource.cfg"
  . "$top/tests/integrations/nagios-config.sh"
  nagios_config "$inside/nagios" nagios nagios "$@" "$inside/nagios/nagios-objects.cfg" "$inside/nagios/winrm-objects.cfg" \
    > "$work/nagios/nagios.cfg"
  "${in_root[@]}" chown -R nagios:nagios "$inside/nagios"
}

# An Icinga 2 node with every installed definition: the two servers choose
# the WinRM route by the template, a third host only says vars.os =
# "Windows"; the PerfdataWriter writes each service's state, text and
# performance data. icinga2_setup KEYTAB.
icinga2_setup() {
  local dir=$work/icinga2 host
  mkdir -p "$dir/data" "$dir/log" "$dir/cache" "$dir/spool" "$dir/run" "$dir/perfdata"
  {
    cat <<CONF
const PluginDir = "/usr/lib/nagios/plugins"
include "$icinga2_defs/*.conf"
object CheckerComponent "checker" { }
object PerfdataWriter "perfdata" {
  service_perfdata_path = "$inside/icinga2/perfdata/service-perfdata"
  service_temp_path = "$inside/icinga2/perfdata/service-perfdata.tmp"
  host_perfdata_path = "$inside/icinga2/perfdata/host-perfdata"
  host_temp_path = "$inside/icinga2/perfdata/host-perfdata.tmp"
  service_format_template = "SERVICE::\$service.name\$\tHOST::\$host.name\$\tSTATE::\$service.state_id\$\tOUTPUT::\$service.output\$\tPERFDATA::\$service.perfdata\$"
  // Lines are written out when their file is rotated: soon, every 2 s.
  rotation_interval = 2s
}
object CheckCommand "host-alive" { command = [ "/bin/true" ] }
object Host "winplain01" {
  check_command = "host-alive"
  address = "127.0.0.1"
  vars.os = "Windows"
  vars.windows_services = [ "EventLog" ]
}
apply Service "disk-free-30" {
  import "wmicheck-service"
  vars.wmicheck_class = "Win32_LogicalDisk"
  vars.wmicheck_filter = "DriveType=3"
  vars.wmicheck_property = "FreeSpace"
  vars.wmicheck_percent_of = "Size"
  vars.wmicheck_warning = "30:"
  vars.wmicheck_critical = "10:"
  assign where host.name == "srv01.corp.example"
}
CONF
    for host in $servers; do
      cat <<CONF
object Host "$host" {
  import "wmicheck-winrm"
  check_command = "host-alive"
  address = "127.0.0.1"
  vars.wmicheck_keytab = "$1"
  vars.wmicheck_port = "${port:-5985}"
  vars.windows_services = [ "EventLog" ]
}
CONF
    done
  } > "$dir/icinga2.conf"
  "${in_root[@]}" chown -R nagios:nagios "$inside/icinga2"
}
icinga2_command() {  # icinga2_command WORDS... sets command: icinga2 in the root
  local dir=$inside/icinga2 words=()
  while [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; do words+=("$1"); shift; done
  [ "${words[0]}" != daemon ] || words+=(-c "$dir/icinga2.conf")
  command=("${in_root[@]}" env KRB5_CONFIG="$inside/krb5.conf" icinga2 "${words[@]}" \
    -DConfiguration.DataDir="$dir/data" -DConfiguration.LogDir="$dir/log" -DConfiguration.CacheDir="$dir/cache" \
    -DConfiguration.SpoolDir="$dir/spool" -DConfiguration.InitRunDir="$dir/run" -DConfiguration.PidPath="$dir/run/icinga2.pid" \
    -DConfiguration.RunAsUser=nagios -DConfiguration.RunAsGroup=nagios "$@")
}

# Waits until COMMAND prints a number at least COUNT, at most SECONDS.
wait_for() {  # wait_for WHAT COUNT SECONDS COMMAND...
  local what=$1 count=$2 deadline=$((SECONDS + $3)) seen=0
  shift 3
  echo "waiting for $what (at most $((deadline - SECONDS)) s)"
  while [ $SECONDS -lt $deadline ]; do
    seen=$("$@" 2>/dev/null | head -n 1)
    [ "${seen:-0}" -ge "$count" ] && return 0
    sleep 0.5
  done
  fail "$what: $seen of $count"
}
checked_in_status() {
  awk '/^servicestatus \{/{s=1} s&&/has_been_checked=1/{n++} /^\t\}/{s=0} END{print n+0}' "$work/nagios/status.dat"
}
# Services with a line in the PerfdataWriter's files (a retry adds another).
perfdata_services() { cat "$work"/icinga2/perfdata/service-perfdata.[0-9]* 2>/dev/null | cut -f1,2 | sort -u | grep -c '^SERVICE::'; }
results() { python3 "$here/engine-results.py" "$1" "$top/tests/root/in-root.sh" "$root" "$inside" "$port"; }

start=$SECONDS
case $mode in
verify)
  install_wmicheck
  nagios_setup "--keytab /etc/wmicheck/svc-poller.keytab" $nagios_defs/wmicheck-commands.cfg \
    $nagios_defs/wmicheck-services.cfg $nagios_defs/wmicheck-winrm-commands.cfg $nagios_defs/wmicheck-winrm-services.cfg
  out=$("${in_root[@]}" nagios4 -v "$inside/nagios/nagios.cfg" 2>&1) || fail "nagios4 -v: $out"
  # The agent route's 7 services and 9 commands (tests/integrations), and
  # the WinRM route's: 7 services on each of two hosts, one of the test's
  # own, 8 commands.
  grep -q "Checked 22 services" <<<"$out" && grep -q "Checked 17 commands" <<<"$out" &&
    grep -q "Total Errors: *0" <<<"$out" || fail "nagios4 -v: $out"
  echo "ok   nagios4 -v in the root on the installed definitions of both routes: 22 services, 17 commands, no errors"
  icinga2_setup /etc/wmicheck/svc-poller.keytab
  icinga2_command daemon -C
  out=$("${command[@]}" 2>&1) || fail "icinga2 daemon -C: $out"
  icinga2_command object list --type Service
  listed=$("${command[@]}" 2>&1) || fail "icinga2 object list: $listed"
  # Per host: how many services, and with which command.
  routes=$(awk -F"'" '/^Object .* of type .Service.:/{split($2, n, "!"); h=n[1]} /\* check_command = /{print h, $0}' <<<"$listed" |
    sed 's/ *\* check_command = / /' | sort | uniq -c | sed 's/^ *//')
  expected='8 srv01.corp.example "wmicheck-winrm"
7 svcfail01 "wmicheck-winrm"'
  [ "$routes" = "$expected" ] || fail "the services per host and command:
$routes
expected:
$expected"
  echo "ok   icinga2 daemon -C in the root: the hosts of the template wmicheck-winrm get the Linux CheckCommand's services, the host with only vars.os = \"Windows\" none"
  ;;
nagios)
  install_wmicheck
  start_servers
  nagios_setup "--keytab $inside/svc-poller.keytab" $nagios_defs/wmicheck-winrm-commands.cfg $nagios_defs/wmicheck-winrm-services.cfg
  "${in_root[@]}" nagios4 -v "$inside/nagios/nagios.cfg" > "$work/verify.out" 2>&1 || fail "nagios4 -v: $(cat "$work/verify.out")"
  "${in_root[@]}" env KRB5_CONFIG="$inside/krb5.conf" nagios4 "$inside/nagios/nagios.cfg" > "$work/nagios.out" 2>&1 &
  pids+=($!)
  wait_for "Nagios to record 15 service results in its status file" 15 120 checked_in_status
  # One more status update after the last result; the engine removes its
  # status file when it stops.
  sleep 1.5
  cp "$work/nagios/status.dat" "$work/nagios/status.seen"
  results nagios || exit 1
  ;;
icinga2)
  install_wmicheck
  start_servers
  icinga2_setup "$inside/svc-poller.keytab"
  icinga2_command daemon -C
  "${command[@]}" > "$work/verify.out" 2>&1 || fail "icinga2 daemon -C: $(cat "$work/verify.out")"
  icinga2_command daemon
  "${command[@]}" > "$work/icinga2.out" 2>&1 &
  daemon=$!
  pids+=($daemon)
  # The first checks are spread over at most a minute.
  wait_for "Icinga 2's PerfdataWriter to write 15 service results" 15 120 perfdata_services
  # The rotated files as they are now: a rotated file is named by the second,
  # and the rotation when the daemon stops replaces one of the same second.
  mkdir -p "$work/icinga2/perfdata-seen"
  cp "$work"/icinga2/perfdata/service-perfdata.[0-9]* "$work/icinga2/perfdata-seen/"
  # Stopped, the daemon writes its state file.
  kill "$daemon"
  wait "$daemon"
  unset "pids[-1]"
  [ -s "$work/icinga2/data/icinga2.state" ] || fail "Icinga 2 kept no state: $(tail -n 5 "$work/icinga2.out")"
  results icinga2 || exit 1
  ;;
*) fail "unknown mode $mode" ;;
esac
echo "$mode: $((SECONDS - start)) s"
