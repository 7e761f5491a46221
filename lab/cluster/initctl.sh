#!/bin/bash
# The lab's stand-in for the service manager, installed as SYSROOT/sbin/initctl
# (a two-line wrapper that names the lab's state directory). Trellium runs
# it as `initctl start|stop isc-dhcp-server`, as its own child, inside the
# management network namespace; so may a person or a test, from anywhere.
# It runs the real dhcpd in the lab's management namespace with the
# configuration, leases file and hosts file under the system root, and
# returns only when the server serves (start) or has exited (stop).
# Exit status 0 on success, 1 with a message on standard error otherwise.
#   initctl.sh STATEDIR start|stop|restart|status isc-dhcp-server
set -euo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=initctl
state=${1:?usage: initctl.sh STATEDIR start|stop|restart|status isc-dhcp-server}
shift
[ $# -eq 2 ] || lab_die "usage: initctl start|stop|restart|status isc-dhcp-server"
verb=$1
job=$2
case $verb in
  start|stop|restart|status) ;;
  *) lab_die "unknown command '$verb': the lab's initctl knows start, stop, restart and status" ;;
esac
[ "$job" = isc-dhcp-server ] || lab_die "unknown job: $job (the lab runs only isc-dhcp-server)"
lab_load "$state"

# Recorded like the plain stand-in of make-sysroot.sh does, so tests can see
# what was asked and when.
printf '%s %s\n' "$verb" "$job" >>"$LAB_SYSROOT/sbin/initctl.calls"
lab_log "$verb $job" >>"$LAB_STATE/mgmt/initctl.log"

# A session of its own: the server must not share its caller's terminal
# (a Trellium started by hand), whose hangup would reach it.
lab_in_lab "$LAB_MGMT_NS" setsid -w bash "$bin/dhcpd-ctl.sh" "$LAB_STATE" "$verb"
