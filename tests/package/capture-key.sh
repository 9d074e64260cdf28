#!/usr/bin/env bash
# The registration capture is reused only while everything that shapes it is
# the same: a change to the DLLs or to any script that makes or reads the
# capture gives another cache key.
# usage: capture-key.sh SOURCE BUILD WORK
set -euo pipefail
source=$1 build=$2 work=$3
rm -rf "$work" && mkdir -p "$work/scripts" "$work/bin" "$work/capture"
cp "$source"/scripts/*.sh "$source"/scripts/*.py "$work/scripts/"
cp "$build/bin/qvWMI.dll" "$build/bin/ostrel.dll" "$work/bin/"
key() { bash "$work/scripts/capture-registration.sh" win64 "$work" "$work/capture" --key; }
first=$(key)
[ "$(key)" = "$first" ] || { echo "FAIL: the same inputs gave another key"; exit 1; }
for changed in scripts/capture-registration.sh scripts/wine-env.sh scripts/registry.py bin/ostrel.dll; do
  cp "$work/$changed" "$work/$changed.kept"
  printf '\n' >> "$work/$changed"
  [ "$(key)" != "$first" ] || { echo "FAIL: a change to $changed kept the key"; exit 1; }
  mv "$work/$changed.kept" "$work/$changed"
done
[ "$(key)" = "$first" ] || { echo "FAIL: the restored inputs gave another key"; exit 1; }
echo "capture key: every input counts"
