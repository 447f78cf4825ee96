#!/usr/bin/env bash
# Builds the tool and runs it in the example workspace, examples/demo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/prerequisites.sh"

cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release \
  -DSTOWPAK_TESTS=OFF >/dev/null
cmake --build "$top/build/release" -j 2 >/dev/null

cd "$top/examples/demo"
echo "\$ cd examples/demo && ../../build/release/stowpak"
status=0
../../build/release/stowpak || status=$?
if [ -f STOWPK.GBA ]; then
  echo "(exit status $status; image: examples/demo/STOWPK.GBA," \
    "$(wc -c <STOWPK.GBA) bytes)"
else
  echo "(exit status $status; no image)"
fi
exit "$status"
