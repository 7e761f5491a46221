#!/bin/bash
# A simulated server's chassis, as ipmi_sim sees it: installed as
# chassis_control beside the lab's copy of make-bmc.sh, so every controller's
# lan.conf runs it. The power state itself is kept by the controller
# simulation's own chassis_control (installed beside this as
# chassis_control.real); after a change the host follows, in the
# background: ipmi_sim waits for this program before it answers, and a
# client whose request goes unanswered for a few hundred milliseconds
# retransmits and loses its session.
#   chassis_control STATEFILE get|set NAME [VALUE] ...
# STATEFILE is SERVERDIR/bmc/power.
here=${BASH_SOURCE[0]%/*}
if [ "${2:-}" != set ]; then
  exec "$here/chassis_control.real" "$@"
fi
"$here/chassis_control.real" "$@" || exit $?

server_dir=${1%/bmc/power}
action=
shift 2
while [ $# -ge 2 ]; do
  case $1=$2 in
    power=0|shutdown=1) action=off ;;
    power=1) action=on ;;
    reset=1) action=reset ;;
  esac
  shift 2
done
[ -n "$action" ] || exit 0
. "$here/../common.sh"
# Started in the background and left: the lab's keeper adopts it.
(
  lab_close_fds
  exec bash "$here/../host-power.sh" "$server_dir" "$action" </dev/null >>"$server_dir/host-power.log" 2>&1
) &
exit 0
