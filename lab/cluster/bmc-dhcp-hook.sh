#!/bin/bash
# udhcpc's event hook for a simulated management controller (runs in the
# controller's network namespace). It configures the leased address on the
# controller's port and keeps ipmi_sim serving IPMI on exactly that address:
# started on the first lease, restarted on a new address (the management
# host may pin a controller to another one). It never touches the machine's
# resolver configuration or routes: the lab's subnet is all there is.
#   udhcpc ... -s bmc-dhcp-hook.sh   (LAB_SERVER_DIR names the server)
set -uo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=bmc-dhcp-hook.sh
lab_close_fds
dir=${LAB_SERVER_DIR:?LAB_SERVER_DIR is not set: udhcpc must be started by the lab}
. "$dir/env"
event=${1:-}
iface=${interface:-eth0}

# Starts ipmi_sim for ADDRESS unless it already serves it.
serve_ipmi() {
  local address=$1 served pid power
  lab_get served "$dir/ipmi_sim.address"
  lab_get pid "$dir/ipmi_sim.pid"
  if [ "$served" = "$address" ] && lab_alive "$pid"; then
    return 0
  fi
  lab_stop_pidfile "$dir/ipmi_sim.pid" 3000
  # The chassis keeps its power state across a new configuration.
  lab_get power "$dir/bmc/power" 1
  [ "$power" = 0 ] && power=off || power=on
  bash "$bin/ipmi/make-bmc.sh" "$address" "$dir/bmc" --mac "$HOST_MAC" --user "$IPMI_USER" \
    --password "$IPMI_PASSWORD" --power "$power" --name "bmc$SERVER" >/dev/null ||
    { lab_log "bmc$SERVER: make-bmc.sh failed for $address"; return 1; }
  # ipmi_sim dies of SIGPIPE when a console client leaves before the prompt
  # is written; ignored here, it stays ignored in the simulator.
  (
    trap '' PIPE
    cd "$dir/bmc"
    lab_spawn "$dir/ipmi_sim.pid" "$dir/ipmi_sim.log" \
      ipmi_sim -n -c "$dir/bmc/lan.conf" -f "$dir/bmc/node.emu" -s "$dir/bmc"
  ) || return 1
  lab_write "$dir/ipmi_sim.address" "$address"
  lab_get pid "$dir/ipmi_sim.pid"
  lab_log "bmc$SERVER: ipmi_sim serves $address (process $pid)"
}

case $event in
  deconfig)
    # The first event of a client: the port comes up here. No IPv6
    # link-local chatter: the lab's network is IPv4 only.
    ip -batch - <<<"link set $iface addrgenmode none up
addr flush dev $iface"
    lab_clear "$dir/bmc.address"
    ;;
  bound|renew)
    lab_get current "$dir/bmc.address"
    if [ "$current" != "$ip" ]; then
      ip -batch - <<<"addr flush dev $iface
addr add $ip/${mask:-24} dev $iface"
      lab_log "bmc$SERVER: leased $ip"
    fi
    lab_write "$dir/bmc.address" "$ip"
    serve_ipmi "$ip"
    # Counts the leases handled to the end, for whoever waits for one.
    lab_get leases "$dir/bmc.leases" 0
    lab_write "$dir/bmc.leases" $((leases + 1))
    ;;
  leasefail|nak)
    lab_log "bmc$SERVER: $event"
    ;;
esac
exit 0
