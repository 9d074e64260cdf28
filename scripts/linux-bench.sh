#!/usr/bin/env bash
# make bench's Linux part: the Linux wmicheck, one process per check, against
# the WinRM test double on the loopback, with python3-winrm as the peer
# measured in the same run (bench/linux/LinuxBench.cpp prints the figures).
# It stands up a throwaway KDC (CORP.EXAMPLE), four doubles sharing one
# certificate (quick; 20 ms a round trip; 1 s a round trip; never answering),
# 200 computer names node001..node200 for libnss-wrapper, and a ticket cache
# filled by kinit, all in BUILD/bench-linux; nothing outside it changes.
# usage: linux-bench.sh BUILD [COST_CHECKS] [FLEET_CHECKS] [TICKET_CHECKS] [SOAK_CHECKS] [SOAK_RUNS] [WINDOWS_BUILD]
#   COST_CHECKS    checks one after another per way of checking (default 20)
#   FLEET_CHECKS   checks per throughput figure (default 96)
#   TICKET_CHECKS  Kerberos checks whose KDC requests are counted (default 20)
#   SOAK_CHECKS    checks per fleet soak (default 20,000)
#   SOAK_RUNS      soaks: 3 by default, the last while two busy loops hold the cores
#   WINDOWS_BUILD  a Windows build tree: its wmicheck.exe under Wine too, in a prefix
#                  made in BUILD/bench-linux
# Empty arguments take the defaults.
set -eu -o pipefail
build=$(cd "$1" && pwd) root=$(cd "$(dirname "$0")/.." && pwd)
cost=${2:-20} fleet=${3:-96} tickets=${4:-20} soak=${5:-20000} runs=${6:-3} windows=${7:-}
work=$build/bench-linux
rm -rf "$work"; mkdir -p "$work"
pids=() busy=()
trap 'kill ${busy[@]+"${busy[@]}"} ${pids[@]+"${pids[@]}"} 2>/dev/null || true' EXIT

names=(svcfail01)
for i in $(seq 1 200); do names+=("$(printf 'node%03d' "$i")"); done
for name in "${names[@]}"; do echo "127.0.0.1 $name"; done >"$work/hosts"

read -r kdc _ <<<"$(bash "$root/tests/kdc/start-kdc.sh" "$work/kdc" "${names[@]}")"
pids+=("$kdc")
export KRB5_CONFIG=$work/kdc/krb5.conf
password='M0nitor!'
for cache in ccache tickets.ccache; do
  KRB5CCNAME=FILE:$work/$cache kinit monitor@CORP.EXAMPLE <<<"$password" >/dev/null
done

sh "$root/tests/winrmdouble/make-certs.sh" "$work" "${names[@]}" >/dev/null
printf 'monitor:%s\n' "$password" >"$work/accounts"
chmod 600 "$work/accounts"
start_double() { # NAME OPTION...
  local name=$1; shift
  mkdir -p "$work/$name"
  "$build/bin/winrm-double" --cert "$work/server.pem" --key "$work/server.key" --accounts "$work/accounts" \
    --keytab "$work/kdc/http.keytab" --ntlm-users "$work/kdc/ntlm-users" --ready-file "$work/$name/ready" "$@" \
    >"$work/$name/double.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$work/$name/ready" ] && break; sleep 0.05; done
  [ -s "$work/$name/ready" ] || { echo "linux-bench: the double $name did not start: $(cat "$work/$name/double.log")" >&2; exit 1; }
  local upper=${name^^} http https
  http=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' "$work/$name/ready")
  https=$(sed -n 's/.*https=\([0-9]*\).*/\1/p' "$work/$name/ready")
  printf '%s_HTTP=%s\n%s_HTTPS=%s\n' "$upper" "$http" "$upper" "$https" >>"$work/bench.conf"
}
rtt=20
: >"$work/bench.conf"
start_double quick
start_double rtt --latency-ms $rtt
start_double slow --latency-ms 1000
start_double stall --stall
wine_run= wine_wmicheck= wineprefix= winearch=
if [ -n "$windows" ] && [ -f "$windows/bin/wmicheck.exe" ]; then
  . "$root/scripts/wine-env.sh"
  windows=$(cd "$windows" && pwd)
  wine_run=$root/scripts/wine-run.sh wine_wmicheck=$windows/bin/wmicheck.exe
  # A prefix of its own, with the bridge registered there: the Windows build
  # tree is only read.
  wineprefix=$work/wineprefix winearch=$(build_wine_arch "$windows")
  # (Where it cannot be, the check says why and is not measured.)
  WINEPREFIX=$wineprefix WINEARCH=$winearch "$root/scripts/wine-register.sh" "$windows/bin/qvWMI.dll" >/dev/null || true
fi
cat >>"$work/bench.conf" <<EOF
WMICHECK=$build/bin/wmicheck
PYWINRM_CHECK=$root/bench/linux/pywinrm-check.py
OPENSSL_LEGACY=$root/tests/winrmdouble/openssl-legacy.cnf
HOSTS=$work/hosts
KRB5_CONFIG=$KRB5_CONFIG
CCACHE=FILE:$work/ccache
TICKET_CCACHE=FILE:$work/tickets.ccache
KDC_LOG=$work/kdc/kdc.log
CA=$work/ca.pem
PASSWORD=$password
RTT_MS=$rtt
SOAK_TIMEOUT_S=5
WINE_RUN=$wine_run
WINE_WMICHECK=$wine_wmicheck
WINEPREFIX=$wineprefix
WINEARCH=$winearch
EOF
chmod 600 "$work/bench.conf"

# Every part runs; the run fails at the end when a fact did not hold in one.
bench() { "$build/bin/linux-bench" "$work/bench.conf" "$@" || status=1; }
status=0
echo "linux-bench: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
bench tickets "$tickets"
bench round-trips
bench cost "$cost"
bench throughput "$fleet"
for run in $(seq 1 "$runs"); do
  if [ "$run" -eq 3 ]; then
    # Busy: a loop spinning on each core beside the soak.
    for _ in $(seq "$(nproc)"); do yes >/dev/null & busy+=($!); done
    bench soak "$soak" "run $run, busy ($(nproc) busy loops)"
    kill "${busy[@]}"; busy=()
  else
    bench soak "$soak" "run $run"
  fi
done
exit $status
