#!/usr/bin/env bash
# Installs the build into a fresh prefix with cmake --install and checks the
# installed tree: exactly the expected files, and the installed programs
# building and listing the example workspace.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR VERSION HAS_LIST
set -euo pipefail
cmake=$1 build=$2 top=$3 version=$4 has_list=$5
. "$top/tests/packaging_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.out" ||
  fail "cmake --install failed: $(cat "$work/install.out")"
check_tree "$work/prefix" "$has_list" "the installed tree"

build_demo "" "$work/prefix/bin/stowpak" "$work/demo" "the installed stowpak"
if [ "$has_list" = 1 ]; then
  list_demo "" "$work/prefix/bin/stowpak-list" "$work/demo" "$version" \
    "the installed stowpak-list"
fi
echo "installed tree and programs as expected"
