#!/bin/bash
# Runs ISC dhcpd for the lab, in a mount namespace of its own (started as
# `unshare --mount -- dhcpd-run.sh STATEDIR`, in the management network
# namespace). dhcpd resolves `fixed-address NAME;` through the resolver, so
# it sees the hosts file Trellium writes under the system root in place of
# the machine's, and a resolver configuration that points at the management
# namespace's own loopback: no lookup can leave the lab. The mounts are
# taken anew at every start, because Trellium replaces the hosts file by
# rename and a bind mount keeps the file it was made from. They vanish with
# the process.
#   dhcpd-run.sh STATEDIR
set -euo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=dhcpd-run.sh
lab_load "${1:?usage: dhcpd-run.sh STATEDIR}"
mgmt=$LAB_STATE/mgmt

# unshare --mount made every mount private already; say so anyway, so that
# nothing here can ever propagate to the machine.
mount --make-rprivate /
mount --bind "$LAB_SYSROOT/etc/hosts" /etc/hosts
# The bind goes onto what /etc/resolv.conf names (it may be a link); with no
# such file the resolver already asks 127.0.0.1, which is the lab's own.
resolv=$(readlink -f /etc/resolv.conf || true)
if [ -n "$resolv" ] && [ -f "$resolv" ]; then
  mount --bind "$mgmt/resolv.conf" "$resolv"
fi

echo "=== $(date '+%F %T') dhcpd starting with $LAB_SYSROOT/etc/dhcp/dhcpd.conf"
exec "$LAB_DHCPD" -f -d -4 -cf "$mgmt/dhcpd.conf" -lf "$LAB_SYSROOT/var/lib/dhcp/dhcpd.leases" \
  -pf "$mgmt/dhcpd.pid" "$LAB_BRIDGE"
