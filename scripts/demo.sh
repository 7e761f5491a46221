#!/usr/bin/env bash
# The demo: installs what is missing, builds, brings up a virtual cluster of
# simulated servers (default 8), runs Trellium on it inside the cluster's
# management network namespace and forwards its web port to this machine.
# Ctrl-C takes everything down again.
#   scripts/demo.sh [SERVERS] [PORT]     (as root; PORT default 8080)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
servers=${1:-8}
port=${2:-8080}
build=$top/build/Release

"$top/scripts/setup.sh" Release

prefix=trl-demo
"$top/lab/cluster-down.sh" "$prefix" >/dev/null 2>&1 || true
cleanup() {
  trap - INT TERM EXIT
  echo
  echo "demo: taking the cluster down"
  [ -n "${trellium_pid:-}" ] && kill -TERM "$trellium_pid" 2>/dev/null && wait "$trellium_pid" 2>/dev/null || true
  "$top/lab/cluster-down.sh" "$prefix" || true
}
trap cleanup INT TERM EXIT

# The lab's own sign-in account (its PAM service never asks the host's
# accounts), with a password of this demo run.
LAB_PASSWORD=$(openssl rand -hex 6)
export LAB_PASSWORD
"$top/lab/cluster-up.sh" "$servers" --prefix "$prefix" --build "$build" --resources "$build/resources" \
  --forward "$port" --drift 2
sysroot=/run/trellium-lab/$prefix/sysroot
read -r account_user account_password <"$sysroot/etc/trellium/lab-account"

# Trellium sees only the lab: its management namespace has no route out. It
# runs in a session of its own, so that Ctrl-C reaches only this script,
# which stops it with SIGTERM (an orderly stop) before taking the lab down.
setsid ip netns exec "$prefix-mgmt" "$build/gui/trellium" --sysroot "$sysroot" \
  --http-address 127.0.0.1 --http-port "$port" \
  --docroot "$build/resources/docroot" --approot "$build/resources/" \
  --ipmi-retransmission-timeout 100 >"/run/trellium-lab/$prefix/trellium.log" 2>&1 &
trellium_pid=$!

for _ in $(seq 100); do
  grep -q "listening on" "/run/trellium-lab/$prefix/trellium.log" 2>/dev/null && break
  kill -0 "$trellium_pid" 2>/dev/null || { tail -20 "/run/trellium-lab/$prefix/trellium.log"; exit 1; }
  sleep 0.1
done
echo
echo "Trellium is running on a virtual cluster of $servers servers."
echo "Open http://127.0.0.1:$port/ in a browser on this machine and sign in"
echo "as $account_user with the password $account_password (an account of this demo only)."
echo "Its log: /run/trellium-lab/$prefix/trellium.log. Ctrl-C ends the demo."
wait "$trellium_pid"
