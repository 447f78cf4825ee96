# shellcheck shell=bash
# Sourced by the packaging tests: checks shared by the install tree, the
# Linux packages and the Windows zip. The caller sets `top` (the source
# folder) and `work` (its own temporary folder).

# Status that ctest reports as a skipped test (SKIP_RETURN_CODE).
SKIPPED=77

# Prints a failure and ends the test.
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Ends the test as skipped, saying what to install.
skip() {
  echo "SKIPPED: $*"
  exit "$SKIPPED"
}

# Prints the installed files of a tree, relative to its prefix, one a line:
# the programs (with the reader when HAS_LIST is 1), their manual pages and
# the documents. Usage: expected_files HAS_LIST
expected_files() {
  {
    echo bin/stowpak
    echo share/doc/stowpak/README.md
    echo share/doc/stowpak/changelog.gz
    echo share/doc/stowpak/copyright
    echo share/man/man1/stowpak.1.gz
    if [ "$1" = 1 ]; then
      echo bin/stowpak-list
      echo share/man/man1/stowpak-list.1.gz
    fi
  } | LC_ALL=C sort
}

# Prints the files and links below DIR, relative to DIR, one a line.
files_below() {
  (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}

# Fails unless the files below DIR are exactly the expected ones.
# Usage: check_tree DIR HAS_LIST WHAT
check_tree() {
  local got want
  got=$(files_below "$1")
  want=$(expected_files "$2")
  [ "$got" = "$want" ] ||
    fail "$3 holds other files than expected:
$(diff <(echo "$want") <(echo "$got"))"
}

# The console lines of a build of the example workspace after the banner,
# with SEP joining the paths.
demo_lines() {
  local sep=$1
  printf '%s\n' \
    "No.01 add file=root${sep}short.bin" \
    "No.02 add file=root${sep}stages${sep}bonus${sep}secret.bin" \
    "No.03 add file=root${sep}stages${sep}stage1.bin" \
    "No.04 add file=root${sep}stages${sep}stage2.bin" \
    "No.05 add file=root${sep}title.bin" \
    "done"
}

# Runs a stowpak in a fresh copy of the example workspace, in the folder
# DIR, and checks its status, its console lines and the image's size.
# RUNNER is empty for a native program, or the command that runs a Windows
# one. Usage: build_demo RUNNER PROGRAM DIR WHAT
build_demo() {
  local runner=$1 program=$2 dir=$3 what=$4 status=0 sep=/
  rm -rf "$dir"
  cp -R "$top/examples/demo" "$dir"
  rm -f "$dir/STOWPK.GBA"
  (cd "$dir" && $runner "$program" >"$dir.out" 2>"$dir.err") || status=$?
  [ "$status" = 0 ] || fail "$what exited with $status: $(cat "$dir.out" "$dir.err")"
  [ ! -s "$dir.err" ] || fail "$what wrote to standard error: $(cat "$dir.err")"
  if [ -n "$runner" ]; then
    sep='\'
    # Windows line ends: every line ends in CR LF.
    if [ "$(tr -cd '\r' <"$dir.out" | wc -c)" != "$(wc -l <"$dir.out")" ]; then
      fail "$what did not end each line with CR LF"
    fi
  fi
  local got
  got=$(tail -n +2 "$dir.out" | tr -d '\r')
  [ "$got" = "$(demo_lines "$sep")" ] ||
    fail "$what printed other lines than expected:
$(cat "$dir.out")"
  [[ $(sed -n 1p "$dir.out") == "stowpak by Quenby. "* ]] ||
    fail "$what printed no banner: $(head -n 1 "$dir.out")"
  # The header, five records and the closing record.
  [ "$(wc -c <"$dir/STOWPK.GBA")" = $((768 + 6 * 20096)) ] ||
    fail "$what wrote an image of $(wc -c <"$dir/STOWPK.GBA") bytes"
}

# Runs a stowpak-list on the image in DIR: it must list the five records
# and find no problem; then on the image cut short by one byte, where it
# must report a problem; and --version must name VERSION.
# Usage: list_demo RUNNER PROGRAM DIR VERSION WHAT
list_demo() {
  local runner=$1 program=$2 dir=$3 version=$4 what=$5 status=0
  (cd "$dir" && $runner "$program" >"$dir.list" 2>"$dir.list-err") ||
    status=$?
  [ "$status" = 0 ] ||
    fail "$what exited with $status: $(cat "$dir.list" "$dir.list-err")"
  [ ! -s "$dir.list-err" ] ||
    fail "$what reported problems: $(cat "$dir.list-err")"
  # A line for the image, then one for each record.
  [ "$(wc -l <"$dir.list")" = 6 ] ||
    fail "$what did not list five records: $(cat "$dir.list")"

  cp "$dir/STOWPK.GBA" "$dir/cut.gba"
  truncate -s -1 "$dir/cut.gba"
  status=0
  (cd "$dir" && $runner "$program" cut.gba >/dev/null 2>"$dir.list-err") ||
    status=$?
  [ "$status" = 1 ] && [ -s "$dir.list-err" ] ||
    fail "$what did not report a problem in an image cut short" \
      "(status $status): $(cat "$dir.list-err")"

  local shown
  shown=$(cd "$dir" && $runner "$program" --version 2>&1) ||
    fail "$what --version failed: $shown"
  case $shown in
  *"$version"*) ;;
  *) fail "$what --version does not show $version: $shown" ;;
  esac
}
