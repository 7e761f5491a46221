#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (10 by default; the
# test suite runs them this briefly). A longer run:
#   tests/fuzz/run.sh build/Release 600
# The corpus grown by earlier runs is kept in BUILD/fuzz.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR [SECONDS]}
seconds=${2:-10}
top=$(cd "$(dirname "$0")/../.." && pwd)
out=$build/fuzz
mkdir -p "$out"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$top" -I"$build/generated" -I/usr/include/freeipmi)
# Built again only when a source or header of ours is newer than the target.
build() {
  local target=$out/$1; shift
  if [ -e "$target" ] && [ -z "$(find "$top/modules" "$top/web" "$top/tests/fuzz" -newer "$target" \
                                     \( -name '*.h' -o -name '*.cpp' \) -print -quit)" ]; then
    return
  fi
  clang++ "${flags[@]}" "$@" -o "$target"
}
build leases_fuzz "$top/tests/fuzz/leases_fuzz.cpp" "$top/modules/leases.cpp" "$top/modules/files.cpp" \
      "$top/modules/paths.cpp" "$top/modules/sized_read.cpp"
build events_fuzz "$top/tests/fuzz/events_fuzz.cpp" "$top/web/protocol.cpp"
for target in leases events; do
  mkdir -p "$out/corpus-$target"
  "$out/${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
                        "$out/corpus-$target" "$top/tests/fuzz/seeds/$target"
done
