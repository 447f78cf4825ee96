#!/usr/bin/env bash
# Builds stowpak-list's fuzz target with clang (libFuzzer, address and
# undefined-behaviour sanitizers) and runs it for SECONDS (default 60),
# seeded with images the tool builds (0, 1, 5 and 63 records). Fails on any
# finding; the input that caused it is left in build/fuzz/findings/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/prerequisites.sh"
need clang++ clang
if [ "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" = \
  libclang_rt.fuzzer-x86_64.a ]; then
  echo "libFuzzer is missing: install it with" \
    "'apt-get install libclang-rt-14-dev' (for clang 14)" >&2
  exit 3
fi
seconds=${1:-60}
case $seconds in
'' | *[!0-9]*)
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
  ;;
esac

build=$top/build/fuzz
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DSTOWPAK_TESTS=OFF -DSTOWPAK_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 --target fuzz_list stowpak

# Seed images, made by the tool in a temporary workspace.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$build/corpus" "$build/findings"
head -c 768 /dev/zero | tr '\0' 'H' >"$work/HXQT.GBA"
for count in 0 1 5 63; do
  rm -rf "$work/root"
  mkdir -p "$work/root"
  for ((i = 0; i < count; i++)); do
    # A lead, then a label that ends early, mid-way or not at all.
    {
      head -c 64 /dev/zero
      printf 'LEAD%02d%-26s' "$i" '' | tr ' ' 'L'
      case $((i % 3)) in
      0) printf 'Stage %d' "$i" ;;
      1) printf '\x83\x58\x83\x65\x81\x5b\x83\x57' ;;
      2) printf '%032d' "$i" ;;
      esac
    } >"$work/root/f$(printf %02d "$i").bin"
  done
  (cd "$work" && "$build/stowpak" >/dev/null)
  cp "$work/STOWPK.GBA" "$seeds/image-$count.gba"
done

echo "Fuzzing stowpak-list for $seconds seconds"
"$build/fuzz_list" -max_total_time="$seconds" -timeout=10 \
  -max_len=1300000 -print_final_stats=1 \
  -artifact_prefix="$build/findings/" "$build/corpus" "$seeds"
