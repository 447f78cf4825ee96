#!/usr/bin/env bash
# Renders each manual page given with groff, warnings on, for the devices
# man uses; any message fails the test.
# Usage: man_test.sh PAGE...
set -euo pipefail
if ! command -v groff >/dev/null 2>&1; then
  echo "SKIPPED: groff is missing: install it with 'apt-get install groff-base'"
  exit 77
fi
status=0
for page in "$@"; do
  for device in ps utf8 ascii; do
    messages=$(groff -man -ww -z -T"$device" "$page" 2>&1) || {
      echo "FAILED: groff could not render $page for $device: $messages"
      status=1
      continue
    }
    if [ -n "$messages" ]; then
      echo "FAILED: $page ($device):"
      echo "$messages"
      status=1
    fi
  done
done
exit "$status"
