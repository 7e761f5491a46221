#!/bin/bash
# Prints a running lab's servers: vendor, namespaces, MACs, current
# addresses, power and IPMI credentials.
#   lab/cluster/status.sh [PREFIX|STATEDIR]   (the only lab when omitted)
set -euo pipefail
here=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
. "$here/common.sh"
LAB_SCRIPT=status.sh

state=${1:-}
if [ -z "$state" ]; then
  labs=("$LAB_STATE_ROOT"/*/lab.env)
  [ -e "${labs[0]}" ] || lab_die "no lab is up (nothing under $LAB_STATE_ROOT)"
  [ ${#labs[@]} -eq 1 ] || lab_die "several labs are up; name one: $(for l in "${labs[@]}"; do basename "${l%/lab.env}"; done | tr '\n' ' ')"
  state=${labs[0]%/lab.env}
elif [[ $state != */* ]]; then
  state=$LAB_STATE_ROOT/$state
fi
lab_load "$state"

keeper=running
lab_keeper_alive || keeper="NOT RUNNING (take it down and up again)"
echo "lab $LAB_PREFIX: $LAB_SERVERS servers; keeper $keeper"
echo "  state       $LAB_STATE"
echo "  system root $LAB_SYSROOT"
echo "  management  namespace $LAB_MGMT_NS, $LAB_MGMT_ADDRESS/24 on $LAB_BRIDGE (dhcpd, tftpd; run Trellium here)"
[ -z "${LAB_FORWARD_PORT:-}" ] ||
  echo "  web         127.0.0.1:$LAB_FORWARD_PORT on this machine -> 127.0.0.1:$LAB_FORWARD_TARGET in $LAB_MGMT_NS"
printf '%-4s %-12s %-22s %-17s %-15s %-5s %-22s %-17s %-15s %s\n' \
  '#' vendor 'host namespace' 'host MAC' 'host address' power 'controller namespace' 'controller MAC' \
  'controller addr' 'IPMI user/password'
for ((k = 1; k <= LAB_SERVERS; k++)); do
  dir=$LAB_STATE/servers/$k
  # shellcheck disable=SC1091
  . "$dir/env"
  power=on
  [ "$(lab_read "$dir/bmc/power" 1)" = 0 ] && power=off
  printf '%-4s %-12s %-22s %-17s %-15s %-5s %-22s %-17s %-15s %s\n' \
    "$k" "$BRAND" "$HOST_NS" "$HOST_MAC" "$(lab_read "$dir/host.address" -)" "$power" \
    "$BMC_NS" "$BMC_MAC" "$(lab_read "$dir/bmc.address" -)" "$IPMI_USER/$IPMI_PASSWORD"
done
