#!/bin/bash
# Makes a server's controller (or host) renew its DHCP lease now, instead of
# at half its lease time: after Trellium gave it another fixed address, the
# DHCP server refuses the old one and the client leases the new one (a
# controller's ipmi_sim then moves there). Returns once the lease is
# renewed or replaced, or fails after SECONDS (default 20).
#   lab/cluster/renew.sh PREFIX|STATEDIR SERVER [bmc|host] [SECONDS]
set -euo pipefail
here=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
. "$here/common.sh"
LAB_SCRIPT=renew.sh

[ $# -ge 2 ] || lab_die "usage: renew.sh PREFIX|STATEDIR SERVER [bmc|host] [SECONDS]"
state=$1
[[ $state = */* ]] || state=$LAB_STATE_ROOT/$state
lab_load "$state"
server=$2
which=${3:-bmc}
seconds=${4:-20}
[[ $server =~ ^[0-9]+$ ]] && [ "$server" -ge 1 ] && [ "$server" -le "$LAB_SERVERS" ] ||
  lab_die "SERVER must be 1 to $LAB_SERVERS"
case $which in bmc|host) ;; *) lab_die "the third argument is bmc or host, not '$which'" ;; esac
dir=$LAB_STATE/servers/$server
lab_get pid "$dir/$which-udhcpc.pid"
[ -n "$pid" ] || lab_die "server $server's $which has no DHCP client (is it powered off?)"

# The client's hook counts the leases it has handled to the end.
lab_get before "$dir/$which.leases" 0
lab_in_lab "" kill -USR1 "$pid"
lab_ms now
deadline=$((now + seconds * 1000))
while :; do
  lab_get after "$dir/$which.leases" 0
  [ "$after" -le "$before" ] || break
  lab_ms now
  [ "$now" -lt "$deadline" ] || lab_die "no new lease for server $server's $which within $seconds s; see $dir/$which-dhcp.log"
  sleep 0.05
done
lab_get address "$dir/$which.address"
echo "server $server's $which: $address"
