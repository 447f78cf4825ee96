#!/usr/bin/env bash
# Makes the .deb and the .tar.gz with cpack and checks them: the .deb's
# paths and control fields, lintian (when installed), the .deb installed
# with dpkg into a scratch root and its programs run from there, its manual
# pages rendered, and the .tar.gz unpacking to the same tree.
# Usage: package_linux_test.sh CPACK BUILD_DIR SOURCE_DIR VERSION HAS_LIST
set -euo pipefail
cpack=$1 build=$2 top=$3 version=$4 has_list=$5
. "$top/tests/packaging_lib.sh"

for tool in dpkg dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null 2>&1 ||
    skip "$tool is missing: install it with 'apt-get install dpkg-dev'"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cpack" --config "$build/CPackConfig.cmake" -G "TGZ;DEB" -B "$work/out" \
  >"$work/cpack.out" 2>&1 || fail "cpack failed: $(cat "$work/cpack.out")"
deb=stowpak_${version}_$(dpkg --print-architecture).deb
tgz=stowpak-${version}-Linux.tar.gz
made=$(cd "$work/out" && ls -1 -- *.deb *.tar.gz 2>/dev/null | LC_ALL=C sort)
[ "$made" = "$(printf '%s\n' "$tgz" "$deb" | LC_ALL=C sort)" ] ||
  fail "cpack made other packages than $deb and $tgz: $made"
deb=$work/out/$deb
tgz=$work/out/$tgz

# The .deb: its paths and control fields.
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' |
  sed 's|^\./usr/||' | LC_ALL=C sort)
[ "$listed" = "$(expected_files "$has_list")" ] ||
  fail "dpkg-deb -c lists other files than expected:
$(diff <(expected_files "$has_list") <(echo "$listed"))"
dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '^\./usr/' |
  grep -v '^\./$' && fail "the .deb installs outside /usr"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = stowpak ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
# (grep reads a here-string: a pipe into grep -q can fail by SIGPIPE.)
grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)" ||
  fail "Maintainer: $(field Maintainer)"
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field Depends)" ||
  fail "Depends, from dpkg-shlibdeps, lacks libc6: $(field Depends)"
[ "$(field Description | wc -l)" -gt 2 ] ||
  fail "the description has no long text: $(field Description)"

if command -v lintian >/dev/null 2>&1; then
  lintian "$deb" >"$work/lintian.out" 2>&1 || true
  if grep '^E:' "$work/lintian.out"; then
    fail "lintian found errors"
  fi
  grep '^W:' "$work/lintian.out" || true
else
  echo "lintian not run: install it with 'apt-get install lintian'"
fi

# Installed with dpkg into a scratch root (libc6 is not there, so its
# dependency is waived), and run from there.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --force-not-root --force-depends --log=/dev/null \
  -i "$deb" >"$work/dpkg.out" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg.out")"
check_tree "$root/usr" "$has_list" "the scratch root's /usr"
build_demo "" "$root/usr/bin/stowpak" "$work/demo" "stowpak from the .deb"
if [ "$has_list" = 1 ]; then
  list_demo "" "$root/usr/bin/stowpak-list" "$work/demo" "$version" \
    "stowpak-list from the .deb"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
  messages=$(zcat "$page" | groff -man -ww -z -Tutf8 2>&1) || true
  [ -z "$messages" ] || fail "$page renders with messages: $messages"
done
latest=$(zcat "$root/usr/share/doc/stowpak/changelog.gz" | sed -n 1p)
[[ $latest == "stowpak ($version) "* ]] ||
  fail "the change log's last entry is not for $version"

# The .tar.gz: one folder that holds what the .deb put under /usr.
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
[ "$(ls "$work/tgz")" = "stowpak-${version}-Linux" ] ||
  fail "the .tar.gz does not unpack to one folder stowpak-${version}-Linux"
diff -r "$work/tgz/stowpak-${version}-Linux" "$root/usr" ||
  fail "the .tar.gz and the .deb hold different trees"
echo "packages as expected: $(basename "$deb") $(basename "$tgz")"
