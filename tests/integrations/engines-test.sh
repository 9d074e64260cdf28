#!/usr/bin/env bash
# The shipped definitions (integrations/) checked by the engines themselves.
# usage: engines-test.sh nagios-verify|icinga2-verify|nagios-run WMICHECK.EXE WORKDIR
#   nagios-verify   nagios4 -v on a configuration with the commands and the
#                   example services
#   icinga2-verify  icinga2 daemon -C on one with the CheckCommand and the
#                   example services; the CheckCommand's arguments are the
#                   options of `wmicheck --help` with their descriptions, and
#                   the agent snippet's commands are the README's common checks
#   nagios-run      a Nagios core that runs wmicheck under Wine (the shared
#                   test prefix) for three services that must end OK, WARNING
#                   and CRITICAL; its status file must hold each service's
#                   state, output and performance data as wmicheck printed them
set -u
mode=$1 exe=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
defs=$top/integrations
fail() { echo "FAIL $*"; exit 1; }
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)

# A Nagios main configuration in $work with the object files given.
nagios_config() {
  {
    for f in "$@"; do echo "cfg_file=$f"; done
    cat <<CFG
log_file=$work/nagios.log
resource_file=$work/resource.cfg
status_file=$work/status.dat
status_update_interval=1
interval_length=1
max_service_check_spread=1
service_inter_check_delay_method=n
service_interleave_factor=1
service_check_timeout=40
enable_environment_macros=1
execute_host_checks=0
enable_notifications=0
retain_state_information=0
check_external_commands=0
nagios_user=$(id -un)
nagios_group=$(id -gn)
lock_file=$work/nagios.lock
temp_file=$work/nagios.tmp
temp_path=$work
check_result_path=$work
object_cache_file=$work/objects.cache
precached_object_file=$work/objects.precache
state_retention_file=$work/retention.dat
command_file=$work/nagios.cmd
illegal_macro_output_chars=\`~\$&|'"<>
CFG
  } > "$work/nagios.cfg"
}

case $mode in
nagios-verify)
  command -v nagios4 >/dev/null || fail "nagios4 is missing (make setup installs nagios4-core)"
  nagios_config "$defs/nagios/wmicheck-commands.cfg" "$defs/nagios/wmicheck-services.cfg" "$here/nagios-objects.cfg"
  printf '$USER3$=/bin/false\n' > "$work/resource.cfg"
  out=$(nagios4 -v "$work/nagios.cfg" 2>&1) || fail "nagios4 -v: $out"
  grep -q "Checked 7 services" <<<"$out" && grep -q "Checked 9 commands" <<<"$out" &&
    grep -q "Total Errors: *0" <<<"$out" || fail "nagios4 -v: $out"
  echo "ok   nagios4 -v: $(grep -c . <<<"$out") lines, 7 example services, 8 wmicheck commands, no errors"
  ;;

icinga2-verify)
  command -v icinga2 >/dev/null || fail "icinga2 is missing (make setup installs icinga2-bin)"
  cat > "$work/icinga2.conf" <<CONF
include "$defs/icinga2/wmicheck-command.conf"
include "$defs/icinga2/wmicheck-services.conf"
object CheckCommand "host-alive" { command = [ "/bin/true" ] }
object Host "winserver01" {
  check_command = "host-alive"
  address = "localhost"
  vars.os = "Windows"
  vars.windows_services = [ "EventLog", "Spooler" ]
}
CONF
  out=$(icinga2 daemon -C -c "$work/icinga2.conf" 2>&1) || fail "icinga2 daemon -C: $out"
  grep -q "Instantiated 8 Services" <<<"$out" || fail "icinga2 daemon -C: $out"
  echo "ok   icinga2 daemon -C: 8 services from the examples"

  # Arguments and descriptions against the help; the agent's commands
  # against the README.
  help=$(WINEDEBUG=-all "$top/scripts/wine-run.sh" "$exe" --help | tr -d '\r')
  [ -n "$help" ] || fail "wmicheck --help printed nothing"
  printf '%s\n' "$help" > "$work/help.txt"
  python3 "$here/check-definitions.py" "$defs" "$top/README.md" "$work/help.txt" || exit 1
  ;;

nagios-run)
  command -v nagios4 >/dev/null || fail "nagios4 is missing (make setup installs nagios4-core)"
  : "${WINEPREFIX:?the shared test prefix}"
  start=$(date +%s)
  # $USER3$: wmicheck under Wine; tee keeps a copy of exactly what it
  # printed, per service, to compare with what the engine recorded.
  cat > "$work/wmicheck" <<SH
#!/usr/bin/env bash
export WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all HOME='${HOME:-/root}' LC_ALL=C.UTF-8
'$top/scripts/wine-run.sh' '$exe' "\$@" 2>/dev/null | tee "$work/printed.\$NAGIOS_SERVICEDESC"
exit \${PIPESTATUS[0]}
SH
  chmod +x "$work/wmicheck"
  printf '$USER3$=%s\n' "$work/wmicheck" > "$work/resource.cfg"
  nagios_config "$defs/nagios/wmicheck-commands.cfg" "$here/nagios-objects.cfg" "$here/nagios-run-services.cfg"
  nagios4 -v "$work/nagios.cfg" >/dev/null || fail "nagios4 -v on the run's configuration"
  # The prefix's server runs for the whole test: three checks start Wine at
  # once, which fails while a server is shutting down. A Wine program that
  # waits for input keeps it, until its input is closed.
  mkfifo "$work/keep"
  WINEDEBUG=-all "$top/scripts/wine-run.sh" cmd /c pause < "$work/keep" >/dev/null 2>&1 &
  exec 9>"$work/keep"
  sleep 1
  nagios4 "$work/nagios.cfg" > "$work/nagios.out" 2>&1 &
  nagios=$!
  services=(expect-ok expect-warning expect-critical)
  checked=0
  for _ in $(seq 1 90); do
    sleep 0.5
    [ -f "$work/status.dat" ] || continue
    checked=$(awk '/^servicestatus \{/{s=1} s&&/has_been_checked=1/{n++} /^\t\}/{s=0} END{print n+0}' "$work/status.dat")
    [ "$checked" -ge 3 ] && break
  done
  # One more status update after the last result; the engine removes its
  # status file when it stops.
  sleep 1.5
  cp "$work/status.dat" "$work/status.seen" 2>/dev/null
  kill "$nagios" 2>/dev/null; wait "$nagios" 2>/dev/null
  exec 9>&-
  wait
  [ "$checked" -ge 3 ] || fail "the engine checked $checked of 3 services: $(tail -n 20 "$work/nagios.log" 2>/dev/null)"
  failures=0
  for i in 0 1 2; do
    name=${services[$i]}
    printed=$(tr -d '\r' < "$work/printed.$name" 2>/dev/null)
    want_output=$(sed 's/ *|.*//' <<<"$printed")
    want_perf=$(grep -q '|' <<<"$printed" && sed 's/^[^|]*| *//' <<<"$printed")
    block=$(awk -v d="service_description=$name" '/^servicestatus \{/{s=1;b=""} s{b=b $0 "\n"} /^\t\}/{if(s&&index(b,"\t" d "\n"))printf "%s",b;s=0}' "$work/status.seen")
    field() { sed -n "s/^\t$1=//p" <<<"$block"; }
    if [ "$(field current_state)" = "$i" ] && [ "$(field plugin_output)" = "$want_output" ] &&
       [ "$(field performance_data)" = "$want_perf" ] && [ -n "$want_perf" ]; then
      echo "ok   $name: state $i, output and performance data as printed: $printed"
    else
      echo "FAIL $name: printed [$printed]; the engine: state $(field current_state), output [$(field plugin_output)], perfdata [$(field performance_data)]"
      failures=$((failures + 1))
    fi
  done
  echo "nagios run: $(( $(date +%s) - start )) s"
  [ "$failures" -eq 0 ] || exit 1
  ;;
*) fail "unknown mode $mode" ;;
esac
