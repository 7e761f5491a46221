#!/bin/bash
# Starts and stops the lab's DHCP server. Runs inside the lab's process
# namespace and its management network namespace (the service-control
# stand-in and cluster-up.sh enter both), so the server it starts is
# adopted and reaped by the lab's keeper.
#   dhcpd-ctl.sh STATEDIR start|stop|restart|status
# start returns once dhcpd serves ("Server starting service.") and fails,
# with the end of its log, when it exits instead (a configuration error);
# stop returns once the old dhcpd has exited, so a start right after it
# never meets "There's already a DHCP server running".
set -euo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=dhcpd-ctl.sh
lab_close_fds
lab_load "${1:?usage: dhcpd-ctl.sh STATEDIR start|stop|restart|status}"
verb=${2:-}
mgmt=$LAB_STATE/mgmt
pidfile=$mgmt/dhcpd.lab.pid
log=$mgmt/dhcpd.log
start_timeout_ms=15000
stop_grace_ms=10000

# One verb at a time: Trellium's stop and start, and a test's, never interleave.
exec 9>"$mgmt/dhcpd.lock"
flock -w 60 9 || lab_die "another start or stop of isc-dhcp-server did not finish within 60 s"

# The running server's process id into variable VAR, or "".
running_pid() {
  local _pid
  lab_get _pid "$pidfile"
  lab_alive "$_pid" || _pid=
  printf -v "$1" '%s' "$_pid"
}

do_start() {
  local pid offset now deadline
  running_pid pid
  if [ -n "$pid" ]; then
    echo "isc-dhcp-server start/running, process $pid (already running)"
    return 0
  fi
  # A pid file left by a dhcpd that was killed would make the next one
  # refuse to start when its number is taken again.
  rm -f "$mgmt/dhcpd.pid"
  offset=0
  [ -f "$log" ] && offset=$(stat -c %s "$log")
  lab_spawn "$pidfile" "$log" unshare --mount -- bash "$bin/dhcpd-run.sh" "$LAB_STATE"
  lab_get pid "$pidfile"
  lab_ms now
  deadline=$((now + start_timeout_ms))
  while :; do
    # Not a pipe: grep -q leaving early would fail the pipe under pipefail.
    if grep -q 'Server starting service\.' < <(tail -c +"$((offset + 1))" "$log"); then
      echo "isc-dhcp-server start/running, process $pid"
      return 0
    fi
    if ! lab_alive "$pid"; then
      rm -f "$pidfile"
      echo "isc-dhcp-server failed to start; the end of $log:" >&2
      tail -c +"$((offset + 1))" "$log" | tail -n 15 >&2
      return 1
    fi
    lab_ms now
    if [ "$now" -ge "$deadline" ]; then
      echo "isc-dhcp-server (process $pid) did not report serving within $((start_timeout_ms / 1000)) s; see $log" >&2
      return 1
    fi
    sleep 0.02
  done
}

do_stop() {
  local pid
  running_pid pid
  if [ -z "$pid" ]; then
    rm -f "$pidfile"
    echo "isc-dhcp-server stop/waiting (was not running)"
    return 0
  fi
  lab_stop_pidfile "$pidfile" "$stop_grace_ms"
  if lab_alive "$pid"; then
    echo "isc-dhcp-server process $pid did not exit" >&2
    return 1
  fi
  rm -f "$mgmt/dhcpd.pid"
  echo "isc-dhcp-server stop/waiting"
}

case $verb in
  start) do_start ;;
  stop) do_stop ;;
  restart) do_stop && do_start ;;
  status)
    running_pid pid
    if [ -n "$pid" ]; then echo "isc-dhcp-server start/running, process $pid"; else echo "isc-dhcp-server stop/waiting"; fi
    ;;
  *) lab_die "unknown verb '$verb': use start, stop, restart or status" ;;
esac
