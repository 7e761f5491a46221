#!/bin/bash
# A simulated server's host follows its chassis: installed as
# chassis_control.after-set beside the lab's chassis_control, which runs it
# after every change it made to the power state (status reads never start
# it). The host follows in the background: ipmi_sim waits for the chassis
# program before it answers, and a client whose request goes unanswered for
# a few hundred milliseconds retransmits and loses its session.
#   chassis_control.after-set STATEFILE set NAME VALUE ...
# STATEFILE is SERVERDIR/bmc/power.
here=${BASH_SOURCE[0]%/*}
[ "${2:-}" = set ] || exit 0

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
# A host already in that state has nothing to follow: a group command to a
# cluster that is off starts no scripts.
if [ "$action" != reset ] && [ "$(cat "$server_dir/host.state" 2>/dev/null)" = "$action" ]; then
  exit 0
fi
. "$here/../common.sh"
# Started in the background and left: the lab's keeper adopts it.
(
  lab_close_fds
  exec bash "$here/../host-power.sh" "$server_dir" "$action" </dev/null >>"$server_dir/host-power.log" 2>&1
) &
exit 0
