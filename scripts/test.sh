#!/usr/bin/env bash
# Builds the tool and its tests and runs every test: against the tool as
# built, against a sanitized build, and, when MinGW-w64 and Wine are
# installed, against the Windows build under Wine, once more in a Japanese
# locale (code page 932) when that locale is installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/prerequisites.sh"

wine=${STOWPAK_WINE:-/usr/lib/wine/wine64}
windows_tool=
ja_locale=OFF
skipped=()
if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 && [ -x "$wine" ]; then
  cmake -S "$top" -B "$top/build/windows" \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$top/build/windows" -j 2
  windows_tool="$top/build/windows/stowpak.exe"
  echo "Preparing Wine for the Windows suite"
  # The first run sets up Wine's files; later runs are quick.
  WINEDEBUG=-all "$wine" "$windows_tool" -h >/dev/null 2>&1 || true
  if locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    ja_locale=ON
  else
    skipped+=("SKIPPED: the Windows suite in code page 932 needs the\
 ja_JP.UTF-8 locale ('apt-get install locales', then enable ja_JP.UTF-8 in\
 /etc/locale.gen and run locale-gen)")
  fi
else
  skipped+=("SKIPPED: the Windows suite needs MinGW-w64 and Wine\
 ('apt-get install g++-mingw-w64-x86-64 wine64')")
fi
for line in "${skipped[@]}"; do echo "$line"; done

cmake -S "$top" -B "$top/build/test" -DCMAKE_BUILD_TYPE=Release \
  -DSTOWPAK_TESTS=ON -DSTOWPAK_WINDOWS_TOOL="$windows_tool" \
  -DSTOWPAK_WINE_JA="$ja_locale" >/dev/null
cmake --build "$top/build/test" -j 2
cd "$top/build/test"
# Wine now and then fails to start a program when many start at once; a test
# that fails is run once more, and fails the suite only if it fails again.
ctest --output-on-failure -j 2 --repeat until-pass:2
for line in "${skipped[@]}"; do echo "$line"; done
