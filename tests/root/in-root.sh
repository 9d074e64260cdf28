#!/usr/bin/env bash
# Runs a command inside a root made by clean-root.sh, with /proc, /sys and
# /dev bound in a mount namespace of its own: the mounts end with the
# command, whatever way it ends. The root shares this machine's network, so
# services on the loopback (a test KDC, the WinRM double) are reachable.
# usage: in-root.sh ROOT COMMAND [ARG...]
set -eu
root=$(cd "$1" && pwd); shift
exec unshare --mount --propagation private /bin/sh -c '
  root=$1; shift
  for m in proc sys dev; do mount --rbind "/$m" "$root/$m"; done
  exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
' in-root "$root" "$@"
