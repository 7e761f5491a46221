#!/usr/bin/env bash
# Sets up everything (scripts/setup.sh), then runs the whole test suite
# inside a network namespace of its own with only loopback up, so that no
# test can send a packet off this machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/Release
"$top/scripts/setup.sh" --packages

# The package install test needs a fresh Debian root and the packages its
# installation pulls in, from the network, which the test namespace lacks:
# they are fetched here and kept in the build tree. The root downloads while
# the build runs.
mkdir -p "$build"
"$top/tests/package/prepare.sh" "$build" root >"$build/package-prepare.log" 2>&1 &
prepare=$!
"$top/scripts/setup.sh" Release
wait "$prepare" || { cat "$build/package-prepare.log" >&2; exit 1; }
cat "$build/package-prepare.log"
"$top/scripts/package.sh" >/dev/null
"$top/tests/package/prepare.sh" "$build" deps
exec unshare --net -- /bin/bash -c '
  set -e
  ip link set lo up
  cd "$1"
  ctest --test-dir build/Release --output-on-failure -j2
' bash "$top"
