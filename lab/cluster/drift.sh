#!/bin/bash
# One process per lab, in the management network namespace: moves every
# controller's sensor readings a little at each tick, through the
# controller's console over the lab's network, so that charts move.
# Each server has a load that wanders; the CPU follows load and power (off:
# it cools toward the inlet air), the DIMMs follow the CPU, the fan follows
# the CPU and idles at a floor (above the lower thresholds) when off, the
# inlet air and the 12 V rail jitter around their start values.
# At each tick it also makes any host whose power file was changed directly
# (not through IPMI) follow it.
#   drift.sh STATEDIR
set -uo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=drift.sh
lab_close_fds
lab_load "${1:?usage: drift.sh STATEDIR}"
interval=${LAB_DRIFT:-5}
[ "$interval" != 0 ] || exit 0
console_port=9000
# A console that went away must not kill this process.
trap '' PIPE
# Stopped by the keeper (SIGTERM): leave at once, even in the middle of a sleep.
trap 'exit 0' TERM

# Per server, in tenths of a degree: load (percent), inlet, CPU.
declare -a load inlet cpu
for ((k = 1; k <= LAB_SERVERS; k++)); do
  load[k]=$((20 + RANDOM % 40))
  inlet[k]=$((230 + (k * 7) % 30))
  cpu[k]=410
done

# clamp VAR LOW HIGH: keeps variable VAR (an integer) within LOW..HIGH.
clamp() {
  local -n value=$1
  ((value < $2)) && value=$2
  ((value > $3)) && value=$3
  return 0
}

# Sends the lines in $commands to the console at ADDRESS and reads one
# prompt per line; false when the console does not answer in time.
send() {
  local address=$1 n=$2 fd reply i ok=0
  { exec {fd}<>"/dev/tcp/$address/$console_port"; } 2>/dev/null || return 1
  # The console greets with a prompt; each command gets its echo and one more.
  if IFS= read -r -t 2 -d '>' -u "$fd" reply; then
    printf "%s" "$commands" 1>&"$fd" 2>/dev/null && ok=1
    for ((i = 0; ok && i < n; i++)); do
      IFS= read -r -t 2 -d '>' -u "$fd" reply || ok=0
    done
  fi
  exec {fd}>&-
  ((ok))
}

tick() {
  local k dir power host address c d fan volts
  for ((k = 1; k <= LAB_SERVERS; k++)); do
    dir=$LAB_STATE/servers/$k
    lab_get power "$dir/bmc/power" 1
    lab_get host "$dir/host.state" off
    if { [ "$power" = 1 ] && [ "$host" = off ]; } || { [ "$power" = 0 ] && [ "$host" = on ]; }; then
      bash "$bin/host-power.sh" "$dir" sync >>"$dir/host-power.log" 2>&1 </dev/null || true
    fi

    if [ "$power" = 1 ]; then
      if ((RANDOM % 25 == 0)); then
        load[k]=$((RANDOM % 100))
      else
        load[k]=$((load[k] + RANDOM % 15 - 7))
      fi
    else
      load[k]=0
    fi
    ((load[k] < 0)) && load[k]=0
    ((load[k] > 100)) && load[k]=100
    inlet[k]=$((inlet[k] + RANDOM % 5 - 2))
    ((inlet[k] < 210)) && inlet[k]=210
    ((inlet[k] > 280)) && inlet[k]=280
    if [ "$power" = 1 ]; then
      c=$((inlet[k] + 80 + load[k] * 4))
    else
      c=${inlet[k]}
    fi
    cpu[k]=$((cpu[k] + (c - cpu[k]) / 3 + RANDOM % 5 - 2))
    d=$((inlet[k] + (cpu[k] - inlet[k]) * 45 / 100))
    fan=24
    if [ "$power" = 1 ]; then
      fan=$((24 + (cpu[k] - 300) / 10))
      clamp fan 24 90
    fi
    volts=201
    [ "$power" = 1 ] && volts=$((200 + RANDOM % 3))

    lab_get address "$dir/bmc.address"
    [ -n "$address" ] || continue
    commands="sensor_set_value 0x20 0 1 $((cpu[k] / 10)) 0
sensor_set_value 0x20 0 2 $((inlet[k] / 10)) 0
sensor_set_value 0x20 0 3 $fan 0
sensor_set_value 0x20 0 4 $volts 0
sensor_set_value 0x20 0 5 $((d / 10)) 0
sensor_set_value 0x20 0 6 $((d / 10 + 1)) 0
sensor_set_value 0x20 0 7 $((d / 10 + 1)) 0
sensor_set_value 0x20 0 8 $((d / 10 + 2)) 0
"
    send "$address" 8 || lab_log "server $k: console at $address:$console_port did not answer"
  done
}

lab_log "drifting sensors of $LAB_SERVERS servers every $interval s"
while :; do
  tick
  sleep "$interval" &
  wait $!
done
