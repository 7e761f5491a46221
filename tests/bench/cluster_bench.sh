#!/bin/bash
# Prints what Trellium costs on a virtual cluster: the time from a server's
# first lease to its record being paired and written to dhcpd.conf, and one
# IPMI polling cycle over N controllers (default 64). Runs inside a network
# namespace of its own, like the test suite. As root, after a build.
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

# One polling cycle: the first power reading of every controller (hosts are off).
start=$(now_ms)
until [ "$(grep -c 'changed to down from' "$state/trellium.log")" -ge "$servers" ]; do
  sleep 0.1
  [ $(($(now_ms) - start)) -lt 300000 ] || { echo "no full polling cycle within 300 s" >&2; exit 1; }
  [ $((($(now_ms) - start) % 20000)) -lt 150 ] && watch
done
first=$(grep -m1 'changed to down from' "$state/trellium.log" | cut -c2-20)
last=$(grep 'changed to down from' "$state/trellium.log" | sed -n "${servers}p" | cut -c2-20)
cycle=$(($(date -d "$last" +%s) - $(date -d "$first" +%s)))

# A server boots: from its host's first lease to its paired record in dhcpd.conf.
. "$state/servers/1/env"
watch
ip netns exec "$prefix-mgmt" ipmipower -h "$(cat "$state/servers/1/bmc.address")" -u "$IPMI_USER" -p "$IPMI_PASSWORD" \
  -a MD5 -l ADMIN --driver-type=LAN --session-timeout=5000 --retransmission-timeout=100 --on >/dev/null
until [ "$(cat "$state/servers/1/host.leases" 2>/dev/null || echo 0)" -ge 1 ]; do sleep 0.01; done
leased=$(now_ms)
until grep -q "hardware ethernet $HOST_MAC;" "$state/sysroot/etc/dhcp/dhcpd.conf"; do sleep 0.01; done
written=$(now_ms)

echo "servers: $servers"
echo "one polling cycle over $servers controllers (first to last reading, 1 s resolution): ${cycle} s"
echo "host's first lease to its record paired and written to dhcpd.conf: $((written - leased)) ms"
