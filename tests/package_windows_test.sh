#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 in BUILD_DIR (kept between
# runs), makes the .zip with cpack and checks it: exactly the two programs
# and README.txt, the README with CR LF line ends, and, under Wine,
# stowpak.exe building the example workspace into the same image as the
# Linux program does, and stowpak-list.exe listing it.
# Usage: package_windows_test.sh CMAKE CPACK BUILD_DIR SOURCE_DIR VERSION
#          HAS_LIST LINUX_STOWPAK
set -euo pipefail
cmake=$1 cpack=$2 build=$3 top=$4 version=$5 has_list=$6 linux_stowpak=$7
. "$top/tests/packaging_lib.sh"

wine=${STOWPAK_WINE:-/usr/lib/wine/wine64}
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 ||
  skip "MinGW-w64 is missing: install it with 'apt-get install g++-mingw-w64-x86-64'"
[ -x "$wine" ] || skip "Wine is missing: install it with 'apt-get install wine64'"
command -v unzip >/dev/null 2>&1 ||
  skip "unzip is missing: install it with 'apt-get install unzip'"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cmake" -S "$top" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DSTOWPAK_TESTS=OFF >"$work/build.out" 2>&1 &&
  "$cmake" --build "$build" -j 2 >>"$work/build.out" 2>&1 ||
  fail "the Windows build failed: $(tail -n 30 "$work/build.out")"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" \
  >"$work/cpack.out" 2>&1 || fail "cpack failed: $(cat "$work/cpack.out")"
name=stowpak-${version}-win64
made=$(cd "$work/out" && ls -1 -- *.zip 2>/dev/null)
[ "$made" = "$name.zip" ] || fail "cpack made other packages than $name.zip: $made"

entries=$(unzip -Z1 "$work/out/$name.zip" | grep -v '/$' | LC_ALL=C sort)
want=$(
  echo "$name/README.txt"
  echo "$name/stowpak.exe"
  if [ "$has_list" = 1 ]; then echo "$name/stowpak-list.exe"; fi
)
want=$(echo "$want" | LC_ALL=C sort)
[ "$entries" = "$want" ] || fail "the .zip holds other files than expected:
$(diff <(echo "$want") <(echo "$entries"))"
unzip -q "$work/out/$name.zip" -d "$work/zip"
dir=$work/zip/$name

# README.txt: README.md with CR LF line ends, after a UTF-8 byte order mark.
readme=$dir/README.txt
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] ||
  fail "README.txt does not begin with a UTF-8 byte order mark"
[ "$(tr -cd '\r' <"$readme" | wc -c)" = "$(wc -l <"$readme")" ] &&
  [ "$(tail -c 2 "$readme" | od -An -tx1 | tr -d ' ')" = 0d0a ] ||
  fail "README.txt has a line that does not end in CR LF"
tail -c +4 "$readme" | sed 's/\r$//' | cmp -s - "$top/README.md" ||
  fail "README.txt does not hold the text of README.md"

# The programs under Wine; the first run may set up Wine's own files.
export WINEDEBUG=-all
"$wine" "$dir/stowpak.exe" -h >/dev/null 2>&1 || true
build_demo "$wine" "$dir/stowpak.exe" "$work/demo" "stowpak.exe from the .zip"
build_demo "" "$linux_stowpak" "$work/linux" "the Linux stowpak"
cmp "$work/demo/STOWPK.GBA" "$work/linux/STOWPK.GBA" ||
  fail "stowpak.exe and the Linux stowpak made different images"
if [ "$has_list" = 1 ]; then
  list_demo "$wine" "$dir/stowpak-list.exe" "$work/demo" "$version" \
    "stowpak-list.exe from the .zip"
fi
echo "package as expected: $name.zip"
