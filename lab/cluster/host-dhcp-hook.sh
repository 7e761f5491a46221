#!/bin/bash
# udhcpc's event hook for a simulated server's host port (runs in the host's
# network namespace). It configures the leased address and, when the DHCP
# server names a boot file, fetches it and the PXELINUX configuration over
# TFTP from the next server, as a server booting over the network does;
# what it got lands in SERVERDIR/boot/ and SERVERDIR/boot.log. It never
# touches the machine's resolver configuration or routes.
#   udhcpc ... -s host-dhcp-hook.sh   (LAB_SERVER_DIR names the server)
set -uo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=host-dhcp-hook.sh
lab_close_fds
dir=${LAB_SERVER_DIR:?LAB_SERVER_DIR is not set: udhcpc must be started by the lab}
. "$dir/env"
event=${1:-}
iface=${interface:-eth0}

# tftp GET of REMOTE into SERVERDIR/boot/; true when it arrived.
fetch() {
  local server=$1 remote=$2 local_name
  local_name=$dir/boot/${remote//\//_}
  if timeout 3 busybox tftp -g -r "$remote" -l "$local_name.part" "$server" 2>/dev/null; then
    mv -f "$local_name.part" "$local_name"
    lab_log "tftp $server $remote ok" >>"$dir/boot.log"
    return 0
  fi
  rm -f "$local_name.part"
  lab_log "tftp $server $remote failed" >>"$dir/boot.log"
  return 1
}

# PXELINUX looks for its configuration beside itself: first the file named
# after the port's MAC (type 01 = Ethernet), then the default.
network_boot() {
  local server=${siaddr:-} file=${boot_file:-} base mac_name
  [ -n "$server" ] && [ -n "$file" ] || return 0
  mkdir -p "$dir/boot"
  fetch "$server" "$file" || true
  base=${file%/*}
  [ "$base" = "$file" ] && base= || base=$base/
  mac_name=01-${HOST_MAC//:/-}
  fetch "$server" "${base}pxelinux.cfg/$mac_name" || fetch "$server" "${base}pxelinux.cfg/default" || true
}

case $event in
  deconfig)
    # The first event of a client: the port comes up here (a powered
    # host's). No IPv6 link-local chatter: the lab's network is IPv4 only.
    ip -batch - <<<"link set $iface addrgenmode none up
addr flush dev $iface"
    lab_clear "$dir/host.address"
    ;;
  bound|renew)
    lab_get current "$dir/host.address"
    if [ "$current" != "$ip" ]; then
      ip -batch - <<<"addr flush dev $iface
addr add $ip/${mask:-24} dev $iface"
      lab_log "host$SERVER: leased $ip${boot_file:+ (boot file $boot_file from ${siaddr:-?})}"
    fi
    [ "$event" = bound ] && network_boot
    lab_write "$dir/host.address" "$ip"
    # Counts the leases handled to the end, for whoever waits for one.
    lab_get leases "$dir/host.leases" 0
    lab_write "$dir/host.leases" $((leases + 1))
    ;;
  leasefail|nak)
    lab_log "host$SERVER: $event"
    ;;
esac
exit 0
