#!/usr/bin/env bash
# The .deb of the build under test (BUILD/debs, made by deb.build): the same
# bytes when packaged again, and when wmicheck is built again from the
# sources in a scratch tree at another path; Depends holds what
# dpkg-shlibdeps finds for the shipped binary and gss-ntlmssp; it holds the
# layout and nothing else, with root's ownership and fixed modes.
# usage: reproducible.sh SOURCE BUILD [COMPILER_LAUNCHER]
set -u
source=$(cd "$1" && pwd) build=$(cd "$2" && pwd) launcher=${3:-}
. "$(dirname "$0")/lib.sh"
deb=$build/debs/$deb_name
work=$build/deb-reproducible
rm -rf "$work"; mkdir -p "$work"

check "a second packaging" eval 'bash "$scripts/deb.sh" "$build" "$work/again" >/dev/null'
check "the second packaging is byte-identical" cmp "$deb" "$work/again/$deb_name"
check "a second build of wmicheck in $work/build" eval \
  'cmake -S "$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher"} >/dev/null &&
   cmake --build "$work/build" --target wmicheck -j2 >/dev/null &&
   bash "$scripts/deb.sh" "$work/build" "$work/rebuilt" >/dev/null'
check "the second build's wmicheck is byte-identical" cmp "$build/bin/wmicheck" "$work/build/bin/wmicheck"
check "the second build's package is byte-identical" cmp "$deb" "$work/rebuilt/$deb_name"

# Depends: every package dpkg-shlibdeps names for the binary as shipped.
dpkg-deb -x "$deb" "$work/tree"
mkdir -p "$work/shlibs/debian"
printf 'Source: wmicheck\n\nPackage: wmicheck\nArchitecture: any\n' >"$work/shlibs/debian/control"
needed=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$work/tree/usr/lib/nagios/plugins/wmicheck" 2>/dev/null |
         sed -n 's/^shlibs:Depends=//p' | tr ',' '\n' | sed 's/^ *//;s/ *$//')
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//;s/ *$//')
check "dpkg-shlibdeps names libraries ($(echo $needed | tr '\n' ' '))" grep -q '^libc6 ' <<<"$needed"
missing=$(comm -23 <(sort <<<"$needed") <(sort <<<"$depends"))
check "Depends holds what dpkg-shlibdeps says${missing:+, not $missing}" test -z "$missing"
check "Depends holds gss-ntlmssp" grep -qx gss-ntlmssp <<<"$depends"
check "Recommends ca-certificates and krb5-user" test "$(dpkg-deb -f "$deb" Recommends)" = "ca-certificates, krb5-user"
check "Package, Version, Architecture" test "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
  "Package: wmicheck Version: $version Architecture: $(dpkg --print-architecture) "

# The layout: "MODE OWNER PATH" of every entry, against what it must hold.
expected() {
  for d in ./ ./usr/ ./usr/lib/ ./usr/lib/nagios/ ./usr/lib/nagios/plugins/ ./usr/share/ ./usr/share/doc/ \
           ./usr/share/doc/wmicheck/ ./usr/share/wmicheck/; do echo "drwxr-xr-x root/root $d"; done
  echo "-rwxr-xr-x root/root ./usr/lib/nagios/plugins/wmicheck"
  for f in README changelog.Debian.gz copyright; do echo "-rw-r--r-- root/root ./usr/share/doc/wmicheck/$f"; done
  for engine in nagios icinga2; do
    (cd "$source/integrations/$engine" &&
     find . -mindepth 1 -type d -printf "drwxr-xr-x root/root ./usr/share/wmicheck/$engine/%P/\n" -o \
            -type f -printf "-rw-r--r-- root/root ./usr/share/wmicheck/$engine/%P\n")
    echo "drwxr-xr-x root/root ./usr/share/wmicheck/$engine/"
  done
}
layout=$(diff <(expected | LC_ALL=C sort) <(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' | LC_ALL=C sort))
check "the files and modes are the layout${layout:+:
$layout}" test -z "$layout"
check "the definitions are those of the sources" eval \
  'diff -r "$source/integrations/nagios" "$work/tree/usr/share/wmicheck/nagios" &&
   diff -r "$source/integrations/icinga2" "$work/tree/usr/share/wmicheck/icinga2"'
check "changelog.Debian.gz names this version" eval \
  'zcat "$work/tree/usr/share/doc/wmicheck/changelog.Debian.gz" | head -n 1 | grep -q "^wmicheck ($version) "'
finish
