#!/usr/bin/env bash
# Runs a service's program the way systemd would, where systemd is not
# PID 1 (this sandbox, a container, the lab): it reads the unit file and
# applies its restart rules to every exit of the program.
#   lab/supervise.sh [--program PATH] [--append ARG]... [--state DIR] UNIT [-- WRAPPER...]
#
# From the unit: ExecStart= (plain words: no quotes, $ or % specifiers),
# Environment=, Restart= (no, always, on-success, on-failure, on-abnormal,
# on-abort), RestartSec=, SuccessExitStatus=, RestartForceExitStatus=,
# RestartPreventExitStatus=, TimeoutStopSec=, StartLimitIntervalSec=,
# StartLimitBurst=, with systemd's defaults for what the unit leaves out.
# Exit statuses only; a program killed by a signal shows as 128 + its number.
#
# SIGTERM or SIGINT to this script is "systemctl stop": the program gets
# SIGTERM (SIGKILL after TimeoutStopSec) and is not started again, whatever
# it exits with. An exit of the program on its own is judged by the rules:
# RestartForceExitStatus= restarts, RestartPreventExitStatus= does not, and
# otherwise Restart= decides, a clean exit being status 0 or one listed in
# SuccessExitStatus=. More than StartLimitBurst starts within
# StartLimitIntervalSec give up.
#
# --program replaces ExecStart's program path (a build's binary instead of
# /usr/sbin/trellium); --append adds an argument after ExecStart's own.
# WRAPPER goes in front of the command ("chroot ROOT", "ip netns exec NS")
# and must end by exec'ing it, so that the program's process id is the one
# this script started and signals. --state DIR: the script keeps DIR/pid
# (the running program), DIR/starts (how many starts) and DIR/exits (one
# exit status a line) up to date, for tests and the lab to watch.
#
# Exit status: 0 when stopped or when the program ended cleanly for good,
# 1 when it ended otherwise and is not restarted.
set -uo pipefail

die() { echo "supervise: $*" >&2; exit 2; }
say() { echo "supervise: $*" >&2; }

program=
appended=()
state=
while [ $# -gt 0 ]; do
  case "$1" in
    --program) program=${2:?}; shift 2 ;;
    --append) appended+=("${2?}"); shift 2 ;;
    --state) state=${2:?}; shift 2 ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
unit=${1:?usage: supervise.sh [--program PATH] [--append ARG]... [--state DIR] UNIT [-- WRAPPER...]}
shift
[ "${1:-}" = -- ] && shift
wrapper=("$@")
[ -r "$unit" ] || die "cannot read $unit"

# systemd's defaults.
exec_start=
environment=()
restart=no
restart_sec=0.1
timeout_stop=90
limit_interval=10
limit_burst=5
success=()
force=()
prevent=()

# "5", "5s", "100ms", "2min" -> seconds.
seconds() {
  local v=$1
  case "$v" in
    *ms) awk -v n="${v%ms}" 'BEGIN { print n / 1000 }' ;;
    *min) awk -v n="${v%min}" 'BEGIN { print n * 60 }' ;;
    *s) echo "${v%s}" ;;
    *) echo "$v" ;;
  esac
}

plain_words() {
  case "$2" in *[\"\'\\\$%]*) die "$1= with quotes, \$ or % is not supported: $2" ;; esac
}

while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in '' | '#'* | ';'* | '['*) continue ;; esac
  key=${line%%=*}
  value=${line#*=}
  key=${key%"${key##*[![:space:]]}"}
  value=${value#"${value%%[![:space:]]*}"}
  case "$key" in
    ExecStart) plain_words "$key" "$value"; exec_start=$value ;;
    Environment) plain_words "$key" "$value"; read -ra words <<<"$value"; environment+=("${words[@]}") ;;
    Restart) restart=$value ;;
    RestartSec) restart_sec=$(seconds "$value") ;;
    TimeoutStopSec) timeout_stop=$(seconds "$value") ;;
    StartLimitIntervalSec) limit_interval=$(seconds "$value") ;;
    StartLimitBurst) limit_burst=$value ;;
    # An empty assignment resets a list, as in systemd.
    SuccessExitStatus) if [ -z "$value" ]; then success=(); else read -ra words <<<"$value"; success+=("${words[@]}"); fi ;;
    RestartForceExitStatus) if [ -z "$value" ]; then force=(); else read -ra words <<<"$value"; force+=("${words[@]}"); fi ;;
    RestartPreventExitStatus) if [ -z "$value" ]; then prevent=(); else read -ra words <<<"$value"; prevent+=("${words[@]}"); fi ;;
  esac
done <"$unit"
[ -n "$exec_start" ] || die "$unit has no ExecStart="
read -ra command <<<"$exec_start"
[ -n "$program" ] && command[0]=$program
command+=("${appended[@]}")
case "$restart" in no | always | on-success | on-failure | on-abnormal | on-abort) ;; *) die "Restart=$restart is not supported" ;; esac

listed() {
  local status=$1 s
  shift
  for s in "$@"; do [ "$s" = "$status" ] && return 0; done
  return 1
}

# True when the unit's rules start the program again after it ended with
# this status on its own.
restarts() {
  local status=$1
  listed "$status" "${prevent[@]}" && return 1
  listed "$status" "${force[@]}" && return 0
  local clean=1 signal=0
  if [ "$status" -gt 128 ]; then
    signal=$((status - 128))
    # SIGHUP, SIGINT, SIGTERM and SIGPIPE count as clean ends.
    case $signal in 1 | 2 | 13 | 15) ;; *) clean=0 ;; esac
  elif [ "$status" -ne 0 ] && ! listed "$status" "${success[@]}"; then
    clean=0
  fi
  case "$restart" in
    always) return 0 ;;
    on-success) [ $clean = 1 ] ;;
    on-failure) [ $clean = 0 ] ;;
    on-abnormal | on-abort) [ $clean = 0 ] && [ $signal -ne 0 ] ;;
    *) return 1 ;;
  esac
}

ended_cleanly() {
  local status=$1
  [ "$status" -eq 0 ] || listed "$status" "${success[@]}" ||
    { [ "$status" -gt 128 ] && case $((status - 128)) in 1 | 2 | 13 | 15) true ;; *) false ;; esac; }
}

if [ -n "$state" ]; then
  mkdir -p "$state"
  : >"$state/exits"
  echo 0 >"$state/starts"
  rm -f "$state/pid"
fi

stopping=0
interrupted=0
pid=
killer=
stop() {
  interrupted=1
  [ $stopping = 1 ] && return
  stopping=1
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    say "stopping $pid"
    kill -TERM "$pid" 2>/dev/null
    # Its sleep goes with it when the program ends in time.
    (
      trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
      sleep "$timeout_stop" &
      sleeper=$!
      wait "$sleeper" && kill -KILL "$pid" 2>/dev/null
    ) &
    killer=$!
  fi
}
trap stop TERM INT

# Waits for the program and sets status. A stop request interrupts wait
# (status above 128 while the program still runs): wait again, once the
# program has really ended.
collect() {
  local s
  while :; do
    interrupted=0
    wait "$pid"
    s=$?
    [ $interrupted = 0 ] && break
    kill -0 "$pid" 2>/dev/null && continue
    # Ended by now: its status is either s or still waiting to be collected.
    wait "$pid" 2>/dev/null
    local again=$?
    [ $again != 127 ] && s=$again
    break
  done
  status=$s
}

starts=()
count=0
while :; do
  now=$(date +%s.%N)
  kept=()
  for t in "${starts[@]}"; do
    awk -v t="$t" -v now="$now" -v w="$limit_interval" 'BEGIN { exit !(now - t < w) }' && kept+=("$t")
  done
  starts=("${kept[@]}")
  if [ "${#starts[@]}" -ge "$limit_burst" ]; then
    say "started too often ($limit_burst times within ${limit_interval}s); giving up"
    exit 1
  fi
  starts+=("$now")
  env "${environment[@]}" "${wrapper[@]}" "${command[@]}" &
  pid=$!
  count=$((count + 1))
  if [ -n "$state" ]; then
    echo "$pid" >"$state/pid"
    echo "$count" >"$state/starts"
  fi
  say "started $pid: ${wrapper[*]} ${command[*]}"
  # A stop that came before the program existed applies to it now.
  [ $stopping = 1 ] && { stopping=0; stop; }
  collect
  [ -n "$killer" ] && { kill "$killer" 2>/dev/null; wait "$killer" 2>/dev/null; killer=; }
  say "$pid exited with status $status"
  if [ -n "$state" ]; then
    rm -f "$state/pid"
    echo "$status" >>"$state/exits"
  fi
  pid=
  [ $stopping = 1 ] && exit 0
  if ! restarts "$status"; then
    ended_cleanly "$status" && exit 0
    exit 1
  fi
  say "restarting in ${restart_sec}s"
  sleep "$restart_sec" &
  wait $! 2>/dev/null
  [ $stopping = 1 ] && exit 0
done
