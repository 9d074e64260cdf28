#!/usr/bin/env bash
# The x86 installer's registry rows are derived from the x64 registration
# (registry.py x86), so that no 32-bit program runs to build them. Here the
# x86 DLLs are registered for real in a 32-bit prefix, and what they wrote
# must be the derived rows, row for row.
# usage: x86-rows.sh X86_BUILD X64_BUILD WORK
# (the x64 capture in X64_BUILD/package/registration, made by package.sh)
set -u
x86_build=$(cd "$1" && pwd) x64_build=$(cd "$2" && pwd) work=$3
. "$(dirname "$0")/lib.sh"
rm -rf "$work"
check "the x86 DLLs register in a 32-bit prefix" \
  bash "$scripts/capture-registration.sh" win32 "$x86_build" "$work"
for dll in qvWMI ostrel; do
  check "$dll.dll: the derived x86 rows are the rows its x86 registration writes" \
    diff <(python3 "$scripts/registry.py" x86 "$x64_build/package/registration/$dll.regsvr32") "$work/$dll.regsvr32"
done
export WINEPREFIX=$work/capture-prefix
finish
