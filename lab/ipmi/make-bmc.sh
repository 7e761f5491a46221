#!/bin/bash
# Writes the configuration of one simulated management controller (an
# OpenIPMI ipmi_sim instance) into STATEDIR:
#   STATEDIR/lan.conf                    LAN channel, user, console, plugin
#   STATEDIR/node.emu                    the controller and its sensors
#   STATEDIR/power                       chassis power state (1 on, 0 off)
#   STATEDIR/ipmi_sim/NAME/sdr.20.main   the sensor data records
# and prints the command that starts it.
#
# The compiled records (node.sdr) and the vendor-command plugin (oem_mac.so)
# come from the build (target trl_lab_ipmi); by default they are looked for
# beside this script, which the build also copies there.
set -euo pipefail

# Builtins only where it is cheap to avoid a process: tests create many
# controllers at once.
absolute() {
  if [[ $1 = /* ]]; then echo "$1"; else echo "$PWD/${1#./}"; fi
}
script=${BASH_SOURCE[0]}
[[ $script = */* ]] || script=./$script
here=$(absolute "${script%/*}")

usage() {
  cat <<USAGE
usage: make-bmc.sh ADDRESS STATEDIR [options]
  --port N            IPMI UDP port (default 623)
  --console-port N    TCP port of the run-time console on ADDRESS (default 9000)
  --user NAME         IPMI user (default ADMIN)
  --password TEXT     its password (default QZWRT)
  --mac MAC           what the eth0 MAC command reports (default 00:25:90:a0:b0:c0)
  --power on|off      chassis power at first start (default on)
  --name NAME         controller name (default: bmc-ADDRESS)
  --artifacts DIR     where node.sdr, oem_mac.so and chassis_control are (default: beside this script)
Factory credentials by brand: Supermicro ADMIN/QZWRT, HP admin/kfpla,
IBM USERID/MORTA1NE, AIC root/lanternox.
USAGE
  exit 2
}

die() {
  echo "make-bmc.sh: $*" >&2
  exit 1
}

[ $# -ge 2 ] || usage
address=$1
state_dir=$2
shift 2

port=623
console_port=9000
user=ADMIN
password=QZWRT
mac=00:25:90:a0:b0:c0
power=on
name=
artifacts=$here

while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --port) port=$2 ;;
    --console-port) console_port=$2 ;;
    --user) user=$2 ;;
    --password) password=$2 ;;
    --mac) mac=$2 ;;
    --power) power=$2 ;;
    --name) name=$2 ;;
    --artifacts) artifacts=$2 ;;
    *) usage ;;
  esac
  shift 2
done

[[ $address =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}$ ]] || die "ADDRESS must be a dotted IPv4 address, not '$address'"
valid_port() {
  [[ $1 =~ ^[0-9]{1,5}$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]
}
valid_port "$port" || die "--port must be 1 to 65535, not '$port'"
valid_port "$console_port" || die "--console-port must be 1 to 65535, not '$console_port'"
# IPMI 1.5 carries user names and passwords in 16-byte fields; the quoted
# strings of lan.conf cannot hold quotes or blanks.
[[ $user =~ ^[!#-~]{1,16}$ ]] || die "--user must be 1 to 16 printable characters without blanks or quotes"
[[ $password =~ ^[!#-~]{1,16}$ ]] || die "--password must be 1 to 16 printable characters without blanks or quotes"
[[ $mac =~ ^[0-9a-fA-F]{2}(:[0-9a-fA-F]{2}){5}$ ]] || die "--mac must look like 00:25:90:a0:b0:c0, not '$mac'"
case $power in
  on) power_value=1 ;;
  off) power_value=0 ;;
  *) die "--power must be on or off, not '$power'" ;;
esac
[ -n "$name" ] || name="bmc-${address//./-}"
[[ $name =~ ^[A-Za-z0-9_.-]+$ ]] || die "--name may hold letters, digits, '.', '_' and '-' only"

sdr=$artifacts/node.sdr
plugin=$artifacts/oem_mac.so
chassis_control=$artifacts/chassis_control
[ -f "$sdr" ] || die "$sdr is missing: build the target trl_lab_ipmi, or pass --artifacts DIR"
[ -f "$plugin" ] || die "$plugin is missing: build the target trl_lab_ipmi, or pass --artifacts DIR"
[ -x "$chassis_control" ] || die "$chassis_control is missing or not executable: build the target trl_lab_ipmi, or pass --artifacts DIR"

state_dir=$(absolute "$state_dir")
plugin=$(absolute "$plugin")
chassis_control=$(absolute "$chassis_control")
mkdir -p "$state_dir/ipmi_sim/$name"
# ipmi_sim runs chassis_control through the shell: keep every path plain.
for path in "$state_dir" "$plugin" "$chassis_control"; do
  [[ $path =~ ^[A-Za-z0-9_./+-]+$ ]] || die "path '$path' must not hold blanks, quotes or shell characters"
done

write() {
  local text
  IFS= read -r -d '' text || true
  printf '%s' "$text" >"$1"
}

write "$state_dir/lan.conf" <<CONF
# Simulated management controller $name at $address (written by make-bmc.sh).
name "$name"

set_working_mc 0x20
  startlan 1
    addr $address $port
    priv_limit admin
    allowed_auths_callback md5
    allowed_auths_user md5
    allowed_auths_operator md5
    allowed_auths_admin md5
  endlan

  chassis_control "$chassis_control $state_dir/power"
  user 2 true "$user" "$password" admin 10 md5

# Run-time commands (sensor values, eth0 MAC): one command per line, "> " prompt.
console $address $console_port

loadlib "$plugin" "mac=$mac mode=normal power=$state_dir/power"
CONF

write "$state_dir/node.emu" <<'EMU'
# One rack server's controller: the records come from sdr.20.main (persist_sdr),
# the sensors behind them are defined here with their start values.
mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02 persist_sdr
sel_enable 0x20 50 0x0a

# Threshold values are raw bytes, in the order UNR UC UNC LNR LC LNC.
# CPU Temp: 41 C; warn 80, critical 90, non-recoverable 100.
sensor_add 0x20 0 1 0x01 0x01
sensor_set_threshold 0x20 0 1 readable 111000 100 90 80 0 0 0
sensor_set_value 0x20 0 1 41 0
# Inlet Temp: 24 C; 40, 45, 50.
sensor_add 0x20 0 2 0x01 0x01
sensor_set_threshold 0x20 0 2 readable 111000 50 45 40 0 0 0
sensor_set_value 0x20 0 2 24 0
# FAN1: raw 60 = 3000 RPM (50 RPM per count); low 1000, 500, 250 RPM.
sensor_add 0x20 0 3 0x04 0x01
sensor_set_threshold 0x20 0 3 readable 000111 0 0 0 5 10 20
sensor_set_value 0x20 0 3 60 0
# 12V: raw 201 = 12.06 V (0.06 V per count); 10.2 10.8 11.4 .. 12.6 13.2 13.8 V.
sensor_add 0x20 0 4 0x02 0x01
sensor_set_threshold 0x20 0 4 readable 111111 230 220 210 170 180 190
sensor_set_value 0x20 0 4 201 0

# DIMM Temp 0..3: the four sensors behind one compact record (5..8). Only
# sensor 5 has a record of its own number, so the others get their scanning
# switched on here; otherwise their readings report "scanning disabled".
sensor_add 0x20 0 5 0x01 0x01
sensor_set_threshold 0x20 0 5 readable 111000 95 90 85 0 0 0
sensor_set_value 0x20 0 5 35 0
sensor_add 0x20 0 6 0x01 0x01
sensor_set_event_support 0x20 0 6 enable scanning per-state 000000000000000 000000000000000 000000000000000 000000000000000
sensor_set_threshold 0x20 0 6 readable 111000 95 90 85 0 0 0
sensor_set_value 0x20 0 6 36 0
sensor_add 0x20 0 7 0x01 0x01
sensor_set_event_support 0x20 0 7 enable scanning per-state 000000000000000 000000000000000 000000000000000 000000000000000
sensor_set_threshold 0x20 0 7 readable 111000 95 90 85 0 0 0
sensor_set_value 0x20 0 7 37 0
sensor_add 0x20 0 8 0x01 0x01
sensor_set_event_support 0x20 0 8 enable scanning per-state 000000000000000 000000000000000 000000000000000 000000000000000
sensor_set_threshold 0x20 0 8 readable 111000 95 90 85 0 0 0
sensor_set_value 0x20 0 8 38 0

# Sensor 9 (Spare Temp) is deliberately not defined: its record exists, its
# reading is unavailable.

# PSU1 Status: power supply, sensor-specific states; bit 0 = presence detected.
sensor_add 0x20 0 10 0x08 0x6f
sensor_set_bit 0x20 0 10 0 1 0

mc_enable 0x20
EMU

cp "$sdr" "$state_dir/ipmi_sim/$name/sdr.20.main"
# The power state survives restarts of the controller, like a real chassis;
# only a fresh configuration sets it.
printf '%s\n' "$power_value" >"$state_dir/power"

echo "ipmi_sim -n -c $state_dir/lan.conf -f $state_dir/node.emu -s $state_dir"
