#!/usr/bin/env bash
# Sets up everything (scripts/setup.sh), then runs the whole test suite
# inside a network namespace of its own with only loopback up, so that no
# test can send a packet off this machine. Then the same again for the
# ThreadSanitizer build (build/tsan) of the back end, the toolkit and their
# unit and integration tests: any data race fails the run.
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
deb=$("$top/scripts/package.sh" | tail -1)
"$top/tests/package/prepare.sh" "$build" deps "$deb"
# The upgrade test's second version: the same source packaged as the next
# version, which compiles again only what the version changes.
version=$(dpkg-deb --field "$deb" Version)
"$top/scripts/package.sh" --version "${version%.*}.$((${version##*.} + 1))" | tail -1 >"$build/package-test/deb-next"
cmake -S "$top" -B "$top/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRL_TSAN=ON
cmake --build "$top/build/tsan"
exec unshare --net -- /bin/bash -c '
  set -e
  ip link set lo up
  cd "$1"
  ctest --test-dir build/Release --output-on-failure -j2
  # Without address-space randomisation: with a high mmap entropy the
  # sanitizer cannot lay out its shadow memory.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    setarch "$(uname -m)" -R ctest --test-dir build/tsan --output-on-failure -j2
' bash "$top"
