#!/bin/bash
# Starts the lab's processes, once its namespaces exist: runs inside the
# lab's process namespace (cluster-up.sh enters it), so every process
# started here is adopted by the keeper when this script ends.
#   boot.sh STATEDIR SECONDS
# In the management namespace: dhcpd (through the service-control logic),
# tftpd serving the system root's TFTP tree, and later the sensor drift.
# Per server: the controller's DHCP client (whose hook starts ipmi_sim) and,
# when powered, the host's. Then it waits, at most SECONDS, until all of
# them are up. Optionally a forwarder from 127.0.0.1 on the machine into
# the management namespace.
set -euo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=boot.sh
lab_load "${1:?usage: boot.sh STATEDIR SECONDS}"
timeout_s=${2:-60}
mgmt=$LAB_STATE/mgmt
in_mgmt=(nsenter --net="/run/netns/$LAB_MGMT_NS" --)

lab_log "starting dhcpd"
"${in_mgmt[@]}" bash "$bin/dhcpd-ctl.sh" "$LAB_STATE" start

lab_log "starting tftpd"
# Root keeps its rights (-u root) because the system root may sit in a
# directory only root can enter; -s confines it to the TFTP tree.
lab_spawn "$mgmt/tftpd.pid" "$mgmt/tftpd.log" "${in_mgmt[@]}" \
  in.tftpd -L -v -u root -a "$LAB_MGMT_ADDRESS:69" -s "$LAB_SYSROOT/var/lib/tftpboot"

lab_log "starting $LAB_SERVERS servers"
# Nothing else touches a server before this: no power lock needed yet.
for ((k = 1; k <= LAB_SERVERS; k++)); do
  dir=$LAB_STATE/servers/$k
  . "$dir/env"
  lab_bmc_dhcp_start "$dir"
  lab_get power "$dir/bmc/power" 1
  if [ "$power" = 1 ]; then
    lab_host_dhcp_start "$dir"
  else
    lab_write "$dir/host.state" off
  fi
done

if [ -n "${LAB_FORWARD_PORT:-}" ]; then
  lab_log "forwarding 127.0.0.1:$LAB_FORWARD_PORT to 127.0.0.1:$LAB_FORWARD_TARGET in $LAB_MGMT_NS"
  # Two halves joined by a socket file, because no one process can sit in
  # both network namespaces: the outer half listens on the machine's
  # loopback, the inner half connects inside the management namespace.
  lab_spawn "$mgmt/forward-inner.pid" "$mgmt/forward.log" "${in_mgmt[@]}" \
    socat "UNIX-LISTEN:$mgmt/web.sock,fork,unlink-early,mode=600" "TCP:127.0.0.1:$LAB_FORWARD_TARGET"
  lab_spawn "$mgmt/forward-outer.pid" "$mgmt/forward.log" \
    socat "TCP-LISTEN:$LAB_FORWARD_PORT,bind=127.0.0.1,reuseaddr,fork" "UNIX-CONNECT:$mgmt/web.sock"
fi

lab_log "waiting for the servers (at most $timeout_s s)"
"${in_mgmt[@]}" bash "$bin/wait-ready.sh" "$LAB_STATE" "$timeout_s"

if [ -n "${LAB_FORWARD_PORT:-}" ]; then
  # The forwarder binds its port at once or exits (port taken).
  for half in inner outer; do
    lab_get pid "$mgmt/forward-$half.pid"
    lab_alive "$pid" ||
      lab_die "the port forwarder ($half half) exited; see $mgmt/forward.log (is 127.0.0.1:$LAB_FORWARD_PORT taken?)"
  done
fi

lab_log "starting the sensor drift"
lab_spawn "$mgmt/drift.pid" "$mgmt/drift.log" "${in_mgmt[@]}" bash "$bin/drift.sh" "$LAB_STATE"
lab_log "up"
