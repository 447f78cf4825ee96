#!/usr/bin/env bash
# Builds the release packages into one folder (default build/packages): the
# Linux build gives a .deb and a .tar.gz, the Windows build (MinGW-w64) a
# .zip. Prints each package's name and size in bytes.
# Usage: scripts/package.sh [OUTDIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/prerequisites.sh"
need dpkg-shlibdeps dpkg-dev
need x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64

out=${1:-$top/build/packages}
mkdir -p "$out"
out=$(cd "$out" && pwd)
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT

# Runs a command with its output kept aside, shown only when it fails.
quiet() {
  "$@" >"$staging/log" 2>&1 || {
    cat "$staging/log" >&2
    echo "failed: $*" >&2
    exit 1
  }
}

# Builds the configuration in build/package-NAME and makes its packages
# into the staging folder. Usage: make_packages NAME [CMAKE-OPTION...]
make_packages() {
  local name=$1 build=$top/build/package-$1
  shift
  echo "Building the $name packages"
  quiet cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DSTOWPAK_TESTS=OFF "$@"
  quiet cmake --build "$build" -j 2
  quiet cpack --config "$build/CPackConfig.cmake" -B "$staging/$name"
}
make_packages linux
make_packages windows \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake"

echo "Packages in $out:"
for package in "$staging"/*/*.deb "$staging"/*/*.tar.gz "$staging"/*/*.zip; do
  cp "$package" "$out/"
  printf '%10d  %s\n' "$(wc -c <"$package")" "$(basename "$package")"
done
