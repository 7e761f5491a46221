#!/bin/bash
# Prints how long the virtual cluster takes to come up (until every
# controller answers on its leased address and every host has leased) and
# to go down, for 8 and 64 servers by default. Runs, like the test suite,
# inside a network namespace of its own with only loopback up. As root.
#   tests/bench/lab_bench.sh [--build DIR] [--runs N] [SIZES...]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tests/support/in_netns.sh"
build=()
runs=1
sizes=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=(--build "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) sizes+=("$1"); shift ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(8 64)

seconds_since() {
  local start=${1/./} now=${EPOCHREALTIME/./}
  printf '%d.%03d' $(((now - start) / 1000000)) $((((now - start) / 1000) % 1000))
}

prefix=trl-bench-$$
printf '%-8s %-4s %12s %12s\n' servers run 'up (s)' 'down (s)'
for n in "${sizes[@]}"; do
  for ((run = 1; run <= runs; run++)); do
    start=$EPOCHREALTIME
    if ! bash "$top/lab/cluster-up.sh" "$n" --prefix "$prefix" --quiet "${build[@]}" >/dev/null; then
      echo "lab_bench.sh: cluster-up.sh $n failed" >&2
      bash "$top/lab/cluster-down.sh" "$prefix" >/dev/null 2>&1 || true
      exit 1
    fi
    up=$(seconds_since "$start")
    start=$EPOCHREALTIME
    bash "$top/lab/cluster-down.sh" "$prefix" >/dev/null
    down=$(seconds_since "$start")
    printf '%-8s %-4s %12s %12s\n' "$n" "$run" "$up" "$down"
  done
done
