#!/usr/bin/env bash
# Tells which kind of host this is: one that runs 32-bit programs (both
# builds run) or one whose kernel runs 64-bit user code only (the x64 build
# runs; the x86 build is built and checked, not run).
# usage: wine-host.sh          one line that says which, and why; exit 0 when
#                              32-bit programs run, 1 when not
#        wine-host.sh --arch   x86 or x64: the build that demo and bench run
#        wine-host.sh --why    why: whether and why 32-bit programs run
set -u
. "$(dirname "$0")/wine-env.sh"
if host_runs_x86; then
  case ${1:-} in
    --arch) echo x86 ;;
    --why) echo "this host runs 32-bit programs" ;;
    *) echo "this host runs 32-bit programs: the x86 and x64 builds both run" ;;
  esac
  exit 0
fi
case ${1:-} in
  --arch) echo x64; exit 0 ;;
  --why) echo "$X86_WHY"; exit 0 ;;
  *) echo "$X86_WHY: the x64 build runs; the x86 build is built and checked, not run"; exit 1 ;;
esac
