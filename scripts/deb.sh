#!/usr/bin/env bash
# Builds the Debian package of the Linux wmicheck from a native build tree:
#   OUT/wmicheck_VERSION_ARCH.deb
# usage: deb.sh BUILD_LINUX OUT
# What it holds: /usr/lib/nagios/plugins/wmicheck (stripped), the engine
# definitions of integrations/nagios and integrations/icinga2 under
# /usr/share/wmicheck/, and /usr/share/doc/wmicheck/ (copyright,
# changelog.Debian.gz, README). Depends is what dpkg-shlibdeps finds for the
# binary, plus gss-ntlmssp (NTLM is a GSS plug-in loaded at run time).
# Two runs from one commit give the same bytes: every date is the commit's
# (SOURCE_DATE_EPOCH for dpkg-deb), modes and owners are fixed, dpkg-deb
# orders the members by name and compresses in one thread.
set -euo pipefail
build=$(cd "$1" && pwd) out=$2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
version=$(head -n 1 "$top/VERSION")
arch=$(dpkg --print-architecture)
mkdir -p "$out" && out=$(cd "$out" && pwd)
[ -x "$build/bin/wmicheck" ] || { echo "deb: $build/bin/wmicheck is missing: build the native tree first" >&2; exit 1; }
# Dates: the commit's time, or 1980-01-01 outside a checkout.
epoch=$(git -C "$top" log -1 --format=%ct 2>/dev/null || echo 315532800)
export SOURCE_DATE_EPOCH=$epoch TZ=UTC LC_ALL=C
umask 022

# dpkg-shlibdeps looks for the binary under debian/PACKAGE of its folder.
work=$build/deb
rm -rf "$work"
stage=$work/debian/wmicheck
mkdir -p "$stage/DEBIAN" "$stage/usr/lib/nagios/plugins" "$stage/usr/share/doc/wmicheck"
strip --remove-section=.comment --remove-section=.note \
  -o "$stage/usr/lib/nagios/plugins/wmicheck" "$build/bin/wmicheck"
for engine in nagios icinga2; do
  mkdir -p "$stage/usr/share/wmicheck/$engine"
  cp -r "$top/integrations/$engine/." "$stage/usr/share/wmicheck/$engine/"
done
doc=$stage/usr/share/doc/wmicheck
cp "$top/packaging/deb/copyright" "$top/packaging/deb/README" "$doc/"
{
  printf 'wmicheck (%s) unstable; urgency=medium\n\n' "$version"
  printf '  * Release %s of the Linux wmicheck.\n\n' "$version"
  printf ' -- Tolvane <packages@tolvane.example>  %s\n' "$(date -R -d "@$epoch")"
} | gzip -9n >"$doc/changelog.Debian.gz"
find "$stage/usr" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
chmod 0755 "$stage/usr/lib/nagios/plugins/wmicheck"

printf 'Source: wmicheck\n\nPackage: wmicheck\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O debian/wmicheck/usr/lib/nagios/plugins/wmicheck |
          sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# Installed-Size as dpkg-gencontrol counts it: KiB per file, rounded up, and
# one for each directory.
size=$(find "$stage/usr" \( -type f -printf '%s\n' \) -o \( -type d -printf '1024\n' \) |
       awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends, gss-ntlmssp/" "$top/packaging/deb/control.in" >"$stage/DEBIAN/control"
(cd "$stage" && find usr -type f | sort | xargs md5sum) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
find "$stage" -exec touch -h -d "@$epoch" {} +

deb=$out/wmicheck_${version}_$arch.deb
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$stage" "$deb" >/dev/null
echo "deb: $deb"
