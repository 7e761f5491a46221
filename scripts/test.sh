#!/usr/bin/env bash
# Sets up everything (scripts/setup.sh), then runs the whole test suite
# inside a network namespace of its own with only loopback up, so that no
# test can send a packet off this machine. Then the same again for the
# ThreadSanitizer build (build/tsan) of the back end, the toolkit and their
# unit and integration tests: any data race fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" Release
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
