#!/usr/bin/env bash
# make dist: both architectures' installers and zips, the Linux wmicheck's
# Debian package, and SHA256SUMS over them, in OUT (dist/).
# usage: dist.sh BUILD_X86 BUILD_X64 BUILD_LINUX OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$4
mkdir -p "$out"
rm -f "$out"/qvwmi-*.msi "$out"/qvwmi-*.zip "$out"/wmicheck_*.deb "$out/SHA256SUMS"
# The x86 package's registry rows come from the x64 build's registration.
QVWMI_X64_BUILD=$2 bash "$here/package.sh" x86 "$1" "$out"
bash "$here/package.sh" x64 "$2" "$out"
bash "$here/deb.sh" "$3" "$out"
(cd "$out" && LC_ALL=C sha256sum qvwmi-*.msi qvwmi-*.zip wmicheck_*.deb > SHA256SUMS)
ls -l "$out"
