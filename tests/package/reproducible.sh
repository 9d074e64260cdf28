#!/usr/bin/env bash
# Two builds of the packages from one commit give the same bytes: the DLLs,
# wmicheck.exe and the packages are built again from the sources in a
# scratch tree and compared with those of the build under test.
# usage: reproducible.sh x86|x64 SOURCE BUILD TOOLCHAIN_FILE
set -u
arch=$1 source=$(cd "$2" && pwd) build=$(cd "$3" && pwd) toolchain=$4
[[ $toolchain = /* ]] || toolchain=$source/$toolchain
. "$(dirname "$0")/lib.sh"
scratch=$build/reproducible
rm -rf "$scratch"
check "a second build of the DLLs and wmicheck.exe" eval \
  'cmake -S "$source" -B "$scratch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
   cmake --build "$scratch" --target qvWMI ostrel wmicheck -j2 >/dev/null'
check "a second packaging" eval 'bash "$scripts/package.sh" "$arch" "$scratch" "$scratch/packages" >/dev/null 2>&1'
for f in bin/qvWMI.dll bin/ostrel.dll bin/wmicheck.exe; do
  check "$f is byte-identical" cmp "$build/$f" "$scratch/$f"
done
for f in "$build"/packages/qvwmi-"$(head -n 1 "$source/VERSION")"-"$arch".*; do
  check "${f##*/} is byte-identical" cmp "$f" "$scratch/packages/${f##*/}"
done
finish
