#!/usr/bin/env bash
# Sets up everything (scripts/setup.sh), then runs the whole test suite
# inside a network namespace of its own with only loopback up, so that no
# test can send a packet off this machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" Release
exec unshare --net -- /bin/bash -c '
  set -e
  ip link set lo up
  cd "$1"
  ctest --test-dir build/Release --output-on-failure -j2
' bash "$top"
