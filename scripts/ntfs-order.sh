#!/usr/bin/env bash
# ntfs-order.sh NAME...
# Prints the given file names (UTF-8) one a line in the order a real NTFS
# index keeps them. Makes a scratch volume in a temporary file (no mounting,
# no privileges needed), copies an empty file under each NAME into its root
# folder with ntfscp and lists that folder with ntfsls. The ntfs-3g tools
# cannot make a folder without mounting, so the names go into the root
# folder; ntfsls leaves out the volume's own entries ($MFT, $UpCase, ...,
# "." and "..") by itself.
#
# ntfsls lists an index node after node, which is index order only while
# the folder's index is a single node: the root folder of a new volume holds
# its entries in one 4096-byte index block, room for about 27 names of 8.3
# length next to the volume's own entries. With more names the script stops
# with status 1 instead of printing a wrong order.
set -euo pipefail

usage() {
  echo "usage: $0 NAME..." >&2
  exit 2
}
[ "$#" -gt 0 ] || usage

for tool in mkntfs ntfscp ntfsls ntfsinfo; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool is missing: install it with 'apt-get install ntfs-3g'" >&2
    exit 3
  fi
done

# A name ntfscp would read as a path, a name that would break the listing
# into lines, and a second copy of a name (ntfscp would overwrite the first)
# are refused.
declare -A seen=()
for name in "$@"; do
  case $name in
  '' | *[/$'\n']* | . | ..)
    echo "$0: unusable file name: '$name'" >&2
    exit 2
    ;;
  esac
  if [ -n "${seen[$name]+x}" ]; then
    echo "$0: name given twice: '$name'" >&2
    exit 2
  fi
  seen[$name]=1
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
volume="$scratch/volume"

# mkntfs warns on stderr that a plain file is no block device; show its
# messages only when it fails.
truncate -s 8M "$volume"
if ! mkntfs -F -f -q -s 512 -p 0 -H 0 -S 0 -L x "$volume" \
  >"$scratch/mkntfs.log" 2>&1; then
  cat "$scratch/mkntfs.log" >&2
  echo "$0: mkntfs could not make a scratch volume" >&2
  exit 1
fi

: >"$scratch/empty"
for name in "$@"; do
  if ! ntfscp -q "$volume" "$scratch/empty" "$name"; then
    echo "$0: ntfscp could not create '$name'" >&2
    exit 1
  fi
done

# The root folder is inode 5. Its index must still be the one block that
# the index root points to.
info=$(ntfsinfo -i 5 "$volume")
# shellcheck disable=SC2016 # the $ names an attribute, not a variable
root_entries=$(sed -n '/\$INDEX_ROOT/,/\$INDEX_ALLOCATION/{
  s/.*Index entries total:[[:space:]]*//p
}' <<<"$info")
blocks=$(sed -n 's/.*INDX blocks total:[[:space:]]*//p' <<<"$info")
if [ "$root_entries" != 1 ] || [ "$blocks" != 1 ]; then
  echo "$0: too many names for one index block ($# given): ntfsls would" \
    "not list them in index order" >&2
  exit 1
fi

listing=$(ntfsls "$volume")
if [ "$(printf '%s\n' "$listing" | wc -l)" -ne "$#" ]; then
  echo "$0: ntfsls listed other names than those given:" >&2
  printf '%s\n' "$listing" >&2
  exit 1
fi
printf '%s\n' "$listing"
