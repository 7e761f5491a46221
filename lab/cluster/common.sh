# Shared by the lab's scripts (sourced, never run). Everything a running lab
# needs lives in its state directory; these helpers find it and start
# processes in the lab's way: detached, with no descriptor of their caller,
# their output in a log, their process id in a file.

# The service manager and ipmi_sim start the lab's helpers with a bare
# environment; the tools live in the sbin directories.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# Where labs keep their state: one directory per lab, named by its prefix.
# Root-only, so no other user can plant files the lab later trusts.
LAB_STATE_ROOT=${TRL_LAB_STATE_ROOT:-/run/trellium-lab}

LAB_PREFIX_PATTERN='^[a-z][a-z0-9-]{0,23}$'

lab_die() {
  echo "${LAB_SCRIPT:-lab}: $*" >&2
  exit 1
}

lab_log() {
  local t=${EPOCHREALTIME/./}
  printf '%(%H:%M:%S)T.%03d %s\n' "${EPOCHREALTIME%.*}" $(((t / 1000) % 1000)) "$*"
}

# Milliseconds since the epoch, into variable VAR. The lab's helpers run by
# the hundred on a small machine: their hot paths start no process, not
# even a subshell for a command substitution.
lab_ms() {
  local t=${EPOCHREALTIME/./}
  printf -v "$1" '%s' $((t / 1000))
}

# Replaces FILE's content with the one line TEXT. The lab's small files
# (process ids, addresses, states) are written in one write call, so a
# reader sees the old line, the new one, or (just after the truncation) an
# empty file, which every reader takes for a missing one; no process is
# started for it.
lab_write() {
  printf '%s\n' "$2" >"$1"
}

# Empties FILE: for the lab's readers, the same as removing it.
lab_clear() {
  : >"$1"
}

# lab_get VAR FILE [DEFAULT]: the first line of FILE into variable VAR, or
# DEFAULT when the file is missing or empty.
lab_get() {
  local _line=
  if [ -r "$2" ]; then
    IFS= read -r _line <"$2" || true
  fi
  printf -v "$1" '%s' "${_line:-${3:-}}"
}

# The first line of FILE, or DEFAULT, on standard output.
lab_read() {
  local line
  lab_get line "$1" "${2:-}"
  printf '%s\n' "$line"
}

# Closes every descriptor above 2 except bash's own script descriptor. The
# lab's helpers are started by programs (ipmi_sim, udhcpc, the service
# manager) that do not mark their sockets and locks close-on-exec; a daemon
# started from here must not keep them open for its whole life.
lab_close_fds() {
  local fd n
  for fd in /proc/self/fd/*; do
    n=${fd##*/}
    case $n in
      0|1|2|255|'*') ;;
      *) eval "exec $n>&-" 2>/dev/null || true ;;
    esac
  done
}

# True while the process with that id (as seen from the caller's process
# namespace) exists.
lab_alive() {
  [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null
}

# Waits until process PID is gone, at most MS milliseconds; false if it is
# still there. Processes of the lab are reaped by its keeper at once, so a
# gone process means an exited one.
lab_wait_gone() {
  local pid=$1 ms=$2 now deadline
  lab_ms now
  deadline=$((now + ms))
  while lab_alive "$pid"; do
    lab_ms now
    [ "$now" -lt "$deadline" ] || return 1
    sleep 0.02
  done
  return 0
}

# Stops the process whose id is in PIDFILE: SIGTERM, then SIGKILL after
# GRACE_MS; returns once it is gone and removes the file.
lab_stop_pidfile() {
  local pidfile=$1 grace=${2:-5000} pid
  lab_get pid "$pidfile"
  if lab_alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! lab_wait_gone "$pid" "$grace"; then
      kill -KILL "$pid" 2>/dev/null || true
      lab_wait_gone "$pid" 3000 || echo "process $pid did not exit after SIGKILL" >&2
    fi
  fi
  lab_clear "$pidfile"
}

# lab_spawn PIDFILE LOG COMMAND...: starts COMMAND in the background with
# no descriptor of the caller's, standard input from /dev/null and output
# appended to LOG, and writes its process id to PIDFILE. Inside the lab's
# process namespace the caller exits before the command does, so the keeper
# inherits and reaps it. One fork and one exec: a process start costs
# several milliseconds here, and a lab starts hundreds.
lab_spawn() {
  local pidfile=$1 log=$2
  shift 2
  # The log exists when this returns, whenever the child gets to run.
  : >>"$log"
  (
    lab_close_fds
    exec "$@" </dev/null >>"$log" 2>&1
  ) &
  lab_write "$pidfile" "$!"
}

# Starts the DHCP client of the host in SERVERDIR (whose env is loaded): the
# host is powered. Its hook brings the port up.
lab_host_dhcp_start() {
  local dir=$1
  LAB_SERVER_DIR=$dir lab_spawn "$dir/host-udhcpc.pid" "$dir/host-dhcp.log" \
    nsenter --net="/run/netns/$HOST_NS" -- \
    udhcpc -f -i eth0 -s "$LAB_STATE/bin/host-dhcp-hook.sh" -t 4 -T 1 -A 2 -x "hostname:$HOST_NAME"
  lab_write "$dir/host.state" on
}

# Starts the DHCP client of the controller in SERVERDIR (whose env is
# loaded). It stays running to renew, as a controller's does; its hook
# brings the port up and, once leased, starts ipmi_sim.
lab_bmc_dhcp_start() {
  local dir=$1
  LAB_SERVER_DIR=$dir lab_spawn "$dir/bmc-udhcpc.pid" "$dir/bmc-dhcp.log" \
    nsenter --net="/run/netns/$BMC_NS" -- \
    udhcpc -f -i eth0 -s "$LAB_STATE/bin/bmc-dhcp-hook.sh" -t 4 -T 1 -A 2 -x "hostname:$HOST_NAME-bmc"
}

# Loads STATE/lab.env (and checks it is a lab's state directory).
lab_load() {
  LAB_STATE=$1
  [ -f "$LAB_STATE/lab.env" ] || lab_die "$LAB_STATE is not a lab's state directory (no lab.env)"
  # shellcheck disable=SC1091
  . "$LAB_STATE/lab.env"
}

# True when the keeper recorded in the state directory is still the lab's
# keeper (its process id was not reused by another program).
lab_keeper_alive() {
  local pid pidns
  lab_get pid "$LAB_STATE/keeper.pid"
  lab_get pidns "$LAB_STATE/keeper.pidns"
  [ -n "$pid" ] && [ -n "$pidns" ] && [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" = "$pidns" ]
}

# Runs COMMAND inside the lab's process namespace, in network namespace NS
# (a name under /run/netns, or "" for the caller's).
lab_in_lab() {
  local ns=$1 pid
  shift
  lab_keeper_alive || lab_die "the lab $LAB_PREFIX is not running (its keeper is gone): take it down with lab/cluster-down.sh $LAB_PREFIX and bring it up again"
  lab_get pid "$LAB_STATE/keeper.pid"
  if [ -n "$ns" ]; then
    nsenter --target "$pid" --pid --net="/run/netns/$ns" -- "$@"
  else
    nsenter --target "$pid" --pid -- "$@"
  fi
}
