#!/bin/bash
# Brings up a virtual cluster of N simulated rack servers on this machine,
# made of real programs in network namespaces of their own (see README.md,
# "A virtual cluster"). Take it down with cluster-down.sh.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$top/lab/cluster/common.sh"
LAB_SCRIPT=cluster-up.sh

usage() {
  cat <<USAGE
usage: lab/cluster-up.sh [N] [options]      (as root)
  N                    simulated servers, 1 to 75 (default 8)
  --prefix NAME        names the lab's namespaces NAME-mgmt, NAME-hostK, NAME-bmcK
                       and its state directory $LAB_STATE_ROOT/NAME (default trl-<pid>)
  --sysroot DIR        Trellium's system root (default: one inside the state
                       directory, removed by cluster-down.sh)
  --build DIR          build tree holding lab/ipmi (default: build/Release, build/Debug
                       or another build/* of this source tree that has it)
  --resources DIR      a build's assembled resources, for lab/make-sysroot.sh
  --vendors KIND       mixed (odd servers Supermicro, even IBM xSeries), supermicro
                       or ibm (default mixed)
  --power on|off       chassis power at the start (default on)
  --forward PORT[:TO]  forward 127.0.0.1:PORT on this machine to 127.0.0.1:TO
                       (default TO = PORT) in the management namespace (needs socat)
  --drift SECONDS      sensor drift period; 0 turns it off (default 5)
  --timeout SECONDS    bound on the bring-up (default 60 + N)
  --keep-on-failure    leave a failed lab up for inspection
  --quiet              print only the prefix
USAGE
  exit 2
}

# The template's dynamic range is 10.0.0.100 to .250: 151 addresses, two
# per server (host and controller).
max_servers=75
servers=8
prefix=trl-$$
sysroot=
build=
resources=
vendors=mixed
power=on
forward=
drift=5
timeout_s=
keep_on_failure=0
quiet=0

while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) usage ;;
    --keep-on-failure) keep_on_failure=1; shift; continue ;;
    --quiet) quiet=1; shift; continue ;;
    --*)
      [ $# -ge 2 ] || usage
      case $1 in
        --prefix) prefix=$2 ;;
        --sysroot) sysroot=$2 ;;
        --build) build=$2 ;;
        --resources) resources=$2 ;;
        --vendors) vendors=$2 ;;
        --power) power=$2 ;;
        --forward) forward=$2 ;;
        --drift) drift=$2 ;;
        --timeout) timeout_s=$2 ;;
        *) usage ;;
      esac
      shift 2
      ;;
    *)
      [[ $1 =~ ^[0-9]+$ ]] || usage
      servers=$1
      shift
      ;;
  esac
done

[ "$(id -u)" = 0 ] || lab_die "run as root: the lab creates network namespaces and serves IPMI on port 623"
[ "$servers" -ge 1 ] && [ "$servers" -le "$max_servers" ] ||
  lab_die "N must be 1 to $max_servers (the DHCP range 10.0.0.100-250 holds two addresses per server)"
[[ $prefix =~ $LAB_PREFIX_PATTERN ]] ||
  lab_die "--prefix must be a lower-case letter, then up to 23 letters, digits or '-', not '$prefix'"
case $vendors in mixed|supermicro|ibm) ;; *) lab_die "--vendors must be mixed, supermicro or ibm" ;; esac
case $power in on|off) ;; *) lab_die "--power must be on or off" ;; esac
[[ $drift =~ ^[0-9]+$ ]] || lab_die "--drift must be a whole number of seconds"
[ -n "$timeout_s" ] || timeout_s=$((60 + servers))
[[ $timeout_s =~ ^[0-9]+$ ]] || lab_die "--timeout must be a whole number of seconds"
forward_port=
forward_target=
if [ -n "$forward" ]; then
  [[ $forward =~ ^([0-9]{1,5})(:([0-9]{1,5}))?$ ]] || lab_die "--forward must be PORT or PORT:TARGETPORT"
  forward_port=${BASH_REMATCH[1]}
  forward_target=${BASH_REMATCH[3]:-$forward_port}
fi

missing=()
for tool in ip nsenter unshare setsid flock dhcpd udhcpc ipmi_sim in.tftpd busybox timeout; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -z "$forward" ] || command -v socat >/dev/null 2>&1 || missing+=(socat)
[ ${#missing[@]} -eq 0 ] || lab_die "missing ${missing[*]}: run scripts/setup.sh (packages iproute2, util-linux, isc-dhcp-server, udhcpc, openipmi, tftpd-hpa, busybox, socat)"

# The simulated controllers' build artifacts.
if [ -z "$build" ]; then
  for candidate in "$top/build/Release" "$top/build/Debug" "$top"/build/*; do
    if [ -f "$candidate/lab/ipmi/node.sdr" ] && [ -f "$candidate/lab/ipmi/oem_mac.so" ]; then
      build=$candidate
      break
    fi
  done
  [ -n "$build" ] || lab_die "no build with lab/ipmi found under $top/build: build the target trl_lab_ipmi (scripts/setup.sh does) or pass --build DIR"
fi
[ -d "$build" ] || lab_die "--build $build: no such directory"
ipmi_assets=$(cd "$build" && pwd)/lab/ipmi
for file in node.sdr oem_mac.so make-bmc.sh chassis_control; do
  [ -f "$ipmi_assets/$file" ] || lab_die "$ipmi_assets/$file is missing: build the target trl_lab_ipmi in $build"
done

state=$LAB_STATE_ROOT/$prefix
mgmt_ns=$prefix-mgmt
[ ! -e "$state" ] || lab_die "a lab named $prefix exists ($state): take it down with lab/cluster-down.sh $prefix"
for ns in /run/netns/"$prefix"-*; do
  [[ ${ns##*/} =~ ^$prefix-(mgmt|host[0-9]+|bmc[0-9]+)$ ]] || continue
  lab_die "namespace ${ns##*/} exists: take the old lab down with lab/cluster-down.sh $prefix"
done

if [ -z "$sysroot" ]; then
  sysroot=$state/sysroot
  sysroot_created=1
else
  [[ $sysroot = /* ]] || sysroot=$PWD/$sysroot
  sysroot_created=0
  [ -e "$sysroot" ] || sysroot_created=1
fi
# ipmi_sim and udhcpc run the lab's helpers through a shell.
for path in "$state" "$sysroot"; do
  [[ $path =~ ^[A-Za-z0-9_./+-]+$ ]] || lab_die "path '$path' must not hold blanks, quotes or shell characters"
done

# From here on a failure takes down what was made.
made=0
on_exit() {
  local status=$?
  if [ "$status" -ne 0 ] && [ "$made" = 1 ]; then
    if [ "$keep_on_failure" = 1 ]; then
      echo "cluster-up.sh: failed; the lab is left up for inspection: $state (take it down with lab/cluster-down.sh $prefix)" >&2
    else
      echo "cluster-up.sh: failed; taking down what was made (pass --keep-on-failure to inspect it)" >&2
      for log in "$state/boot.log" "$state/keeper.log" "$state/mgmt/dhcpd.log"; do
        [ -s "$log" ] && { echo "--- end of $log" >&2; tail -n 8 "$log" >&2; }
      done
      bash "$top/lab/cluster-down.sh" "$state" >&2 || true
    fi
  fi
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT TERM HUP

mkdir -p "$LAB_STATE_ROOT"
chmod 0700 "$LAB_STATE_ROOT"
mkdir "$state"
made=1
mkdir -p "$state/bin/ipmi" "$state/mgmt" "$state/servers"

# write_env FILE NAME VALUE ...: shell assignments, read by the helpers
# with ".". Builtins only: it runs once per server.
write_env() {
  local file=$1
  shift
  {
    while [ $# -ge 2 ]; do
      printf '%s=%q\n' "$1" "$2"
      shift 2
    done
  } >"$file"
}
# Debian's AppArmor profile for /usr/sbin/dhcpd, where it is enforced, lets
# it read only the real /etc/dhcp and /var/lib/dhcp; the lab's files are
# elsewhere. The profile is bound to that path, so a copy of the program in
# the lab's state directory runs without it.
dhcpd_program=$(command -v dhcpd)
if grep -qsF "$dhcpd_program (enforce)" /sys/kernel/security/apparmor/profiles; then
  mkdir -p "$state/bin"
  cp "$dhcpd_program" "$state/bin/dhcpd"
  dhcpd_program=$state/bin/dhcpd
fi

write_env "$state/lab.env" \
  LAB_PREFIX "$prefix" LAB_SERVERS "$servers" LAB_STATE "$state" LAB_MGMT_NS "$mgmt_ns" \
  LAB_BRIDGE br0 LAB_MGMT_ADDRESS 10.0.0.1 LAB_SYSROOT "$sysroot" LAB_SYSROOT_CREATED "$sysroot_created" \
  LAB_DRIFT "$drift" LAB_FORWARD_PORT "$forward_port" LAB_FORWARD_TARGET "$forward_target" \
  LAB_DHCPD "$dhcpd_program"

# The running lab uses its own copy of the helpers, so a rebuild or an edit
# of the source tree cannot change it under its feet.
cp "$top"/lab/cluster/*.sh "$state/bin/"
cp "$ipmi_assets/node.sdr" "$ipmi_assets/oem_mac.so" "$ipmi_assets/make-bmc.sh" "$state/bin/ipmi/"
# make-bmc.sh names the chassis_control beside itself in lan.conf; after a
# change of power it runs chassis_control.after-set, which the hosts follow.
cp "$ipmi_assets/chassis_control" "$state/bin/ipmi/chassis_control"
cp "$top/lab/cluster/chassis-control.sh" "$state/bin/ipmi/chassis_control.after-set"
chmod 0755 "$state"/bin/*.sh "$state"/bin/ipmi/*

# The system root Trellium works on; the service-control stand-in replaces
# make-sysroot.sh's recording one (kept, and put back by cluster-down.sh).
if [ -n "$resources" ]; then
  bash "$top/lab/make-sysroot.sh" "$sysroot" "$resources"
else
  bash "$top/lab/make-sysroot.sh" "$sysroot"
fi
if [ -e "$sysroot/sbin/initctl" ] && [ "$sysroot_created" = 0 ]; then
  cp -p "$sysroot/sbin/initctl" "$state/initctl.orig"
fi
cat >"$sysroot/sbin/initctl.tmp" <<INITCTL
#!/bin/bash
# The lab $prefix's service manager: runs the real dhcpd (see lab/cluster/initctl.sh).
exec bash $state/bin/initctl.sh $state "\$@"
INITCTL
chmod 0755 "$sysroot/sbin/initctl.tmp"
mv -f "$sysroot/sbin/initctl.tmp" "$sysroot/sbin/initctl"

# dhcpd reads Trellium's configuration through an include, behind two lab
# settings: no ping before offering an address (it costs a second per new
# lease and finds nothing on a network only the lab can reach), and every
# lease written to the leases file at once, even a server's re-lease a
# minute after the last one (by default dhcpd skips writing a lease renewed
# within a quarter of its time, which in a real cluster is a reboot hours
# later, and in the lab the usual case).
cat >"$state/mgmt/dhcpd.conf" <<CONF
# The lab's DHCP server: Trellium's configuration, without the ping check,
# writing every lease.
ping-check false;
dhcp-cache-threshold 0;
include "$sysroot/etc/dhcp/dhcpd.conf";
CONF
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$state/mgmt/resolv.conf"

# Servers: vendor, MACs, credentials, namespaces. Server K's MACs end in
# HH:LL:00 (host) with HHLL = K; the controller's ends in :01 (Supermicro,
# paired through the vendor command that reports the host's MAC) or :04
# (IBM xSeries, whose controller MAC is the host's plus 4).
supermicro=0
ibm=0
net_batch=$state/netns.batch
mgmt_batch=$state/mgmt.batch
printf 'netns add %s\n' "$mgmt_ns" >"$net_batch"
{
  echo "link set lo up"
  echo "link add br0 address 02:00:0a:00:00:01 type bridge"
  echo "link set br0 addrgenmode none"
  echo "addr add 10.0.0.1/24 dev br0"
  echo "link set br0 up"
} >"$mgmt_batch"
printf '#\tvendor\thost_ns\thost_mac\tbmc_ns\tbmc_mac\tipmi_user\tipmi_password\n' >"$state/servers.tsv"
power_value=1
[ "$power" = on ] || power_value=0
server_dirs=()
for ((k = 1; k <= servers; k++)); do server_dirs+=("$state/servers/$k/bmc"); done
mkdir -p "${server_dirs[@]}"
# The loop starts no process: it runs once per server.
for ((k = 1; k <= servers; k++)); do
  kind=$vendors
  if [ "$kind" = mixed ]; then
    kind=supermicro
    [ $((k % 2)) = 0 ] && kind=ibm
  fi
  printf -v serial '%02x:%02x' $((k / 256)) $((k % 256))
  if [ "$kind" = supermicro ]; then
    brand=Supermicro; host_mac=00:25:90:$serial:00; bmc_mac=00:25:90:$serial:01; user=ADMIN; password=QZWRT
    supermicro=$((supermicro + 1))
  else
    brand="IBM xSeries"; host_mac=e4:1f:13:$serial:00; bmc_mac=e4:1f:13:$serial:04; user=USERID; password=MORTA1NE
    ibm=$((ibm + 1))
  fi
  dir=$state/servers/$k
  printf '%s\n' "$power_value" >"$dir/bmc/power"
  write_env "$dir/env" SERVER "$k" VENDOR "$kind" BRAND "$brand" HOST_NAME "srv$k" \
    HOST_NS "$prefix-host$k" HOST_MAC "$host_mac" BMC_NS "$prefix-bmc$k" BMC_MAC "$bmc_mac" \
    IPMI_USER "$user" IPMI_PASSWORD "$password"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$k" "$kind" "$prefix-host$k" "$host_mac" "$prefix-bmc$k" "$bmc_mac" \
    "$user" "$password" >>"$state/servers.tsv"
  printf 'netns add %s\nnetns add %s\n' "$prefix-host$k" "$prefix-bmc$k" >>"$net_batch"
  # Each server's two ports hang on the management bridge; their far ends
  # are the eth0 of the host's and the controller's namespace. Nothing
  # connects the lab to this machine's network.
  printf '%s\n' "link add b$k type veth peer name eth0 address $bmc_mac netns $prefix-bmc$k" \
    "link set b$k addrgenmode none master br0 up" \
    "link add h$k type veth peer name eth0 address $host_mac netns $prefix-host$k" \
    "link set h$k addrgenmode none master br0 up" >>"$mgmt_batch"
done

[ "$quiet" = 1 ] || lab_log "creating $((2 * servers + 1)) network namespaces"
ip -batch "$net_batch"
ip -netns "$mgmt_ns" -batch "$mgmt_batch"

# The keeper: first process of the lab's process namespace, in a session of
# its own. If the unshare process above it dies, the kernel kills it and,
# with it, the whole lab.
[ "$quiet" = 1 ] || lab_log "starting the keeper"
(
  lab_close_fds
  exec setsid unshare --pid --fork --kill-child -- bash "$state/bin/keeper.sh" "$state" \
    </dev/null >>"$state/keeper.log" 2>&1
) &
lab_ms now
deadline=$((now + 10000))
until [ -s "$state/keeper.pid" ]; do
  lab_ms now
  [ "$now" -lt "$deadline" ] || lab_die "the keeper did not start within 10 s; see $state/keeper.log"
  sleep 0.01
done
LAB_STATE=$state
lab_keeper_alive || lab_die "the keeper exited at once; see $state/keeper.log"

[ "$quiet" = 1 ] || lab_log "starting dhcpd, tftpd and $servers servers"
# In a session of its own, so that no daemon of the lab has this terminal.
lab_in_lab "" setsid -w bash "$state/bin/boot.sh" "$state" "$timeout_s" >>"$state/boot.log"

trap - EXIT
if [ "$quiet" = 1 ]; then
  echo "$prefix"
else
  lab_log "up: $servers servers ($supermicro Supermicro, $ibm IBM xSeries)"
  bash "$state/bin/status.sh" "$state"
  echo
  echo "Run Trellium in it:  ip netns exec $mgmt_ns build/Release/gui/trellium --sysroot $sysroot --ipmi-retransmission-timeout 100 --docroot build/Release/resources/docroot --approot build/Release/resources/"
  echo "                     (lab/README.md, \"Running Trellium in the lab\"); sign in with the account"
  echo "                     in $sysroot/etc/trellium/lab-account"
  echo "Take it down:        lab/cluster-down.sh $prefix"
fi
