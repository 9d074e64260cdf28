#!/usr/bin/env bash
# A clean Debian 12 system for the tests that install what we ship: a minimal
# debootstrap root with the monitoring engines (nagios4-core, icinga2-bin)
# and nothing this machine installed by hand. It is made once and kept
# (a build tree's clean-root/); a root whose package list differs is made
# anew. Concurrent callers wait for the one that builds it.
# usage: clean-root.sh ROOT
set -euo pipefail
root=$1
packages="nagios4-core icinga2-bin ca-certificates"
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
[ "$(cat "$root/.clean-root" 2>/dev/null)" = "$packages" ] && exit 0

# The Debian mirror this machine's apt uses (the first URIs line, or the
# first deb line of the old format).
mirror=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb[[:space:]]\+\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}
rm -rf "$root"
echo "clean-root: making a minimal Debian 12 system in $root (a few minutes, once)" >&2
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -n 5 "$root.log" >&2; exit 1; }
cp /etc/apt/sources.list.d/*.sources "$root/etc/apt/sources.list.d/" 2>/dev/null || true
# No service starts inside the root: the tests run the engines themselves.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
here=$(cd "$(dirname "$0")" && pwd)
for try in 1 2 3; do
  "$here/in-root.sh" "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive sh -c \
    "apt-get update -qq && apt-get install -y -qq --no-install-recommends $packages" >>"$root.log" 2>&1 && break
  [ $try -lt 3 ] || { tail -n 5 "$root.log" >&2; exit 1; }
  sleep 30
done
"$here/in-root.sh" "$root" apt-get clean
echo "$packages" >"$root/.clean-root"
