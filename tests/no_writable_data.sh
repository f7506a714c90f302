#!/bin/sh
# Fails when a static library defines writable data: initialised (D, d),
# zeroed (B, b), common (C) or small (G, g, S, s) symbols. An effect library
# with none of them keeps all its state in the records its callers hold.
# usage: no_writable_data.sh LIBRARY
set -eu
library=$1
found=$(nm --defined-only "$library" | awk 'NF == 3 && $2 ~ /^[DdBbCGgSs]$/ { print $3 }' |
  grep -v '^__\(asan\|ubsan\|tsan\|sancov\)' | grep -v '^\.L' || true)
if [ -n "$found" ]; then
  echo "writable data in $library:"
  echo "$found" | c++filt
  exit 1
fi
echo "no writable data in $library"
