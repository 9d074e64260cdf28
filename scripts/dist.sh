#!/usr/bin/env bash
# make dist: both architectures' installers and zips, and SHA256SUMS over
# them, in OUT (dist/). usage: dist.sh BUILD_X86 BUILD_X64 OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$3"
rm -f "$3"/qvwmi-*.msi "$3"/qvwmi-*.zip "$3/SHA256SUMS"
# The x86 package's registry rows come from the x64 build's registration.
QVWMI_X64_BUILD=$2 bash "$here/package.sh" x86 "$1" "$3"
bash "$here/package.sh" x64 "$2" "$3"
(cd "$3" && LC_ALL=C sha256sum qvwmi-*.msi qvwmi-*.zip > SHA256SUMS)
ls -l "$3"
