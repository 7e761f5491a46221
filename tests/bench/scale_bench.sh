#!/bin/bash
# Prints what Trellium's polling, group power and leases rescan cost at
# cluster scale, each figure interleaved in one run with FreeIPMI (or grep)
# doing the same work on the same controllers: min, median and max of
# ROUNDS rounds and the ratio of the medians. For each N a virtual cluster
# of N servers (every controller a Supermicro, hosts off, no sensor drift)
# is brought up and taken down again. Runs inside a network namespace of its
# own, like the test suite. As root, after a build.
#   tests/bench/scale_bench.sh [--build DIR] [--rounds R] [--workers W[,W...]] [--retransmission MS] [N ...]
# Defaults: build/Release, 5 rounds, 64 workers, the lab's 100 ms
# retransmission for reads (commands: 500 ms at least), N = 8 16 32 64. With
# several worker counts the polling cycle is measured for each, the other
# figures for the last.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tests/support/in_netns.sh"
build=$top/build/Release
rounds=5
workers=64
retransmission=100
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --workers) workers=$2; shift 2 ;;
    --retransmission) retransmission=$2; shift 2 ;;
    *) break ;;
  esac
done
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(8 16 32 64)
bench=$build/tests/scale_bench
[ -x "$bench" ] || { echo "scale_bench.sh: $bench is missing: build the target scale_bench" >&2; exit 1; }

prefix=
finish() {
  [ -z "$prefix" ] || "$top/lab/cluster-down.sh" "$prefix" >/dev/null 2>&1 || true
}
trap finish EXIT

"$bench" rescan "$rounds"
for n in "${sizes[@]}"; do
  prefix=trl-scale$$-$n
  "$top/lab/cluster-up.sh" "$n" --prefix "$prefix" --build "$build" --resources "$build/resources" \
    --vendors supermicro --power off --drift 0 --quiet >/dev/null
  ip netns exec "$prefix-mgmt" "$bench" lab "/run/trellium-lab/$prefix/sysroot" "$prefix" "$rounds" "$workers" "$retransmission"
  "$top/lab/cluster-down.sh" "$prefix" >/dev/null
  prefix=
done
