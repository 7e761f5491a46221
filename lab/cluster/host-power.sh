#!/bin/bash
# Makes a simulated server's host follow its chassis power: power off takes
# the host's port down (its DHCP client stops, its address goes); power on
# brings the port up and starts a DHCP client, which leases and fetches its
# boot files like a server booting over the network. A reset while on is a
# reboot: off, then on. Called by the controller's chassis_control after
# every change (on, off, reset: what the controller was told), and with
# "sync" at the start and by the drift process, which make the host match
# the power file (changed directly, not through IPMI).
#   host-power.sh SERVERDIR on|off|reset|sync
set -euo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=host-power.sh
lab_close_fds
dir=${1:?usage: host-power.sh SERVERDIR on|off|reset|sync}
action=${2:-sync}
. "$dir/env"
LAB_STATE=${dir%/servers/*}

# One change at a time per server: a power cycle's "off" and "on" arrive a
# second apart, a reconcile may run meanwhile.
exec 9>"$dir/power.lock"
flock -w 20 9 || lab_die "server $SERVER: power lock busy for 20 s"

host_off() {
  lab_stop_pidfile "$dir/host-udhcpc.pid" 3000
  ip -netns "$HOST_NS" -batch - <<<"link set eth0 down
addr flush dev eth0"
  lab_clear "$dir/host.address"
  lab_write "$dir/host.state" off
  lab_log "host$SERVER: off"
}

host_on() {
  lab_host_dhcp_start "$dir"
  lab_log "host$SERVER: on"
}

lab_get have "$dir/host.state" off
case $action in
  on|off) want=$action ;;
  reset) want=$have ;;
  sync)
    lab_get power "$dir/bmc/power" 1
    [ "$power" = 0 ] && want=off || want=on
    ;;
  *) lab_die "unknown action '$action': use on, off, reset or sync" ;;
esac
if [ "$action" = reset ] && [ "$have" = on ]; then
  host_off
  host_on
elif [ "$want" != "$have" ]; then
  "host_$want"
fi
