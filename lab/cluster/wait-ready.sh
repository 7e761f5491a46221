#!/bin/bash
# Waits until every simulated server of the lab is up: its controller has a
# lease and its console answers over the lab's network (so ipmi_sim serves
# on the leased address), and its host, when powered, has a lease. Runs in
# the management network namespace. Exits 1 naming what is missing when
# the time is up.
#   wait-ready.sh STATEDIR SECONDS
set -uo pipefail
# Always run by an absolute path (from the lab's state directory).
bin=${BASH_SOURCE[0]%/*}
. "$bin/common.sh"
LAB_SCRIPT=wait-ready.sh
lab_load "${1:?usage: wait-ready.sh STATEDIR SECONDS}"
lab_ms now
deadline=$((now + ${2:-60} * 1000))
trap '' PIPE

# The console greets with a prompt once ipmi_sim has read its configuration.
console_answers() {
  local fd reply ok=1
  { exec {fd}<>"/dev/tcp/$1/9000"; } 2>/dev/null || return 1
  IFS= read -r -t 2 -d '>' -u "$fd" reply || ok=0
  exec {fd}>&-
  ((ok))
}

declare -A ready_bmc ready_host
missing=()
while :; do
  missing=()
  for ((k = 1; k <= LAB_SERVERS; k++)); do
    dir=$LAB_STATE/servers/$k
    if [ -z "${ready_bmc[$k]:-}" ]; then
      lab_get address "$dir/bmc.address"
      lab_get served "$dir/ipmi_sim.address"
      if [ -n "$address" ] && [ "$served" = "$address" ] && console_answers "$address"; then
        ready_bmc[$k]=1
      else
        missing+=("controller $k${address:+ ($address)}")
      fi
    fi
    if [ -z "${ready_host[$k]:-}" ]; then
      lab_get power "$dir/bmc/power" 1
      lab_get address "$dir/host.address"
      if [ "$power" = 0 ] || [ -n "$address" ]; then
        ready_host[$k]=1
      else
        missing+=("host $k")
      fi
    fi
  done
  [ ${#missing[@]} -eq 0 ] && exit 0
  lab_ms now
  if [ "$now" -ge "$deadline" ]; then
    echo "not ready in time: ${missing[*]}" >&2
    echo "see the logs under $LAB_STATE/servers/N/ (bmc-dhcp.log, ipmi_sim.log, host-dhcp.log) and $LAB_STATE/mgmt/dhcpd.log" >&2
    exit 1
  fi
  sleep 0.1
done
