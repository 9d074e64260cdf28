#!/usr/bin/env bash
# make bench: the benchmark programs of one build, in its test prefixes
# (Wine's WMI, then the WMI test double). Each prefix gets every COM class
# its programs create: the bridge and the plug-in, and in the double's
# prefix the double too, as the tests' fixtures register them, so that a
# fresh clone runs it before any test did. Empty arguments take each
# program's defaults.
# usage: bench.sh BUILD [ROUNDS] [CHECKS] [SOAK] [DOUBLE_RUNS] [STUCK_CHECKS] [FLEET_CHECKS]
set -eu
build=$(cd "$1" && pwd) here=$(cd "$(dirname "$0")" && pwd)
rounds=${2:-} checks=${3:-} soak=${4:-} double_runs=${5:-} stuck_checks=${6:-} fleet_checks=${7:-}
bin=$build/bin
. "$here/wine-env.sh"
WINEARCH=$(build_wine_arch "$build"); export WINEARCH
export WINEPREFIX=$build/wineprefix
"$here/wine-register.sh" "$bin/qvWMI.dll" "$bin/ostrel.dll"
"$here/wine-run.sh" "$bin/bridge_bench.exe" $rounds
"$here/wine-run.sh" "$bin/check_bench.exe" $checks $soak
"$here/wine-run.sh" "$bin/fleet_soak.exe" --throughput
export WINEPREFIX=$build/wineprefix-double
"$here/wine-register.sh" "$bin/qvWMI.dll" "$bin/ostrel.dll" "$bin/wmidouble.dll"
"$here/wine-run.sh" "$bin/bridge_bench.exe" --double $double_runs
"$here/wine-run.sh" "$bin/stuck_soak.exe" $stuck_checks
"$here/wine-run.sh" "$bin/fleet_soak.exe" $fleet_checks
"$here/wine-run.sh" "$bin/fleet_soak.exe" --down $fleet_checks
"$here/wine-run.sh" "$bin/round_trips.exe"
