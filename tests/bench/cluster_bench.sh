#!/bin/bash
# Prints what Trellium costs on a virtual cluster of N servers (default 64):
# the time from a server's first lease to its record being paired and
# written to dhcpd.conf (scale_bench.sh measures the polling cycles). Runs
# inside a network namespace of its own, like the test suite. As root,
# after a build.
#   tests/bench/cluster_bench.sh [--build DIR] [N]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tests/support/in_netns.sh"
build=$top/build/Release
[ "${1:-}" = --build ] && { build=$2; shift 2; }
servers=${1:-64}
port=18080
prefix=trl-bench$$
state=/run/trellium-lab/$prefix
pid=
finish() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  "$top/lab/cluster-down.sh" "$prefix" >/dev/null 2>&1 || true
}
trap finish EXIT
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

# Controllers lease at once; every host starts powered off.
"$top/lab/cluster-up.sh" "$servers" --prefix "$prefix" --build "$build" --resources "$build/resources" \
  --forward "$port" --power off --drift 0 --quiet >/dev/null
setsid ip netns exec "$prefix-mgmt" "$build/gui/trellium" --sysroot "$state/sysroot" --http-address 127.0.0.1 \
  --http-port "$port" --docroot "$build/resources/docroot" --approot "$build/resources/" \
  --ipmi-retransmission-timeout 100 >"$state/trellium.log" 2>&1 &
pid=$!
until grep -q "listening on" "$state/trellium.log"; do sleep 0.1; done
# A page load opens a session (kept for a while), so the polling thread works.
watch() { curl -s -o /dev/null "http://127.0.0.1:$port/" || true; }
watch

# Every controller polled once (hosts are off), then a server boots: from
# its host's first lease to its paired record in dhcpd.conf.
SECONDS=0
until [ "$(grep -c 'changed to down from' "$state/trellium.log")" -ge "$servers" ]; do
  [ $SECONDS -lt 300 ] || { echo "no full polling cycle within 300 s" >&2; exit 1; }
  sleep 0.1
  [ $((SECONDS % 20)) -ne 19 ] || watch
done
. "$state/servers/1/env"
watch
ip netns exec "$prefix-mgmt" ipmipower -h "$(cat "$state/servers/1/bmc.address")" -u "$IPMI_USER" -p "$IPMI_PASSWORD" \
  -a MD5 -l ADMIN --driver-type=LAN --session-timeout=5000 --retransmission-timeout=100 --on >/dev/null
until [ "$(cat "$state/servers/1/host.leases" 2>/dev/null || echo 0)" -ge 1 ]; do sleep 0.01; done
leased=$(now_ms)
until grep -q "hardware ethernet $HOST_MAC;" "$state/sysroot/etc/dhcp/dhcpd.conf"; do sleep 0.01; done
written=$(now_ms)

echo "servers: $servers"
echo "host's first lease to its record paired and written to dhcpd.conf: $((written - leased)) ms"
