#!/usr/bin/env bash
# Builds the tool and its tests and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/prerequisites.sh"

cmake -S "$top" -B "$top/build/test" -DCMAKE_BUILD_TYPE=Release \
  -DSTOWPAK_TESTS=ON >/dev/null
cmake --build "$top/build/test" -j 2
cd "$top/build/test"
ctest --output-on-failure -j 2
