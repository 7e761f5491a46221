#!/usr/bin/env bash
# The package on a fresh Debian 12 root, without network: apt installs it
# with its dependencies; its files land where they belong; the installed
# program, run by its unit's rules, serves the page and is started again
# when it ends with status 20 on its own; a reinstallation keeps the node
# table, the edited options file and the DHCP server's configuration; purge
# leaves the node table alone unless asked, and takes everything else.
#   tests/package/install_test.sh BUILD SOURCE
# tests/package/prepare.sh (run by scripts/test.sh before it enters the
# test namespace) made the root and downloaded the packages; without them
# the test is skipped (status 77).
#
# systemd cannot run as PID 1 here, so lab/supervise.sh stands in for it:
# it runs the unit's ExecStart line inside the root and applies the unit's
# restart rules, as systemd would on the management host.
set -euo pipefail
build=${1:?usage: install_test.sh BUILD SOURCE}
source_dir=${2:?usage: install_test.sh BUILD SOURCE}
cache=$build/package-test
if [ ! -f "$cache/deb" ] || [ ! -d "$cache/root" ]; then
  echo "SKIP: no prepared root; run scripts/test.sh, or scripts/package.sh and tests/package/prepare.sh $build all"
  exit 77
fi
deb=$(cat "$cache/deb")
version=$(dpkg-deb --field "$deb" Version)

failures=0
check() {  # check DESCRIPTION CONDITION (shell text)
  if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
figure() { echo "figure: $*"; }
seconds_since() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }'; }

work=$(mktemp -d "$cache/run.XXXXXX")
root=$work/root
state=$work/supervisor
supervisor=
cleanup() {
  if [ -n "$supervisor" ] && kill -0 "$supervisor" 2>/dev/null; then
    kill -TERM "$supervisor"
    wait "$supervisor" || true
  fi
  [ "$failures" = 0 ] || { echo "--- supervisor and program:"; tail -40 "$work/trellium.log"; } 2>/dev/null
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

start=$(date +%s.%N)
"$source_dir/tests/package/fresh-root.sh" "$build" "$root" "$deb"
figure "fresh root copied in $(seconds_since "$start") s"

in_root() { DEBIAN_FRONTEND=noninteractive chroot "$root" "$@"; }
apt_offline() { in_root apt-get -q -y -o Dpkg::Use-Pty=0 "$@" >>"$work/apt.log" 2>&1 || { tail -30 "$work/apt.log"; return 1; }; }
# Everything in the root but what the package manager and the logs churn.
listing() {
  (cd "$root" && find . -path ./proc -prune -o -path ./tmp -prune -o -path ./var/lib/dpkg -prune \
    -o -path ./var/lib/apt -prune -o -path ./var/cache -prune -o -path ./var/log -prune -o -print | sort)
}
md5() { md5sum <"$root$1" | cut -d' ' -f1; }
link_to() { [ "$(in_root readlink -f "$1")" = "$(in_root readlink -f "$2")" ]; }

# --- Install -----------------------------------------------------------------
before=$(listing)
start=$(date +%s.%N)
apt_offline install /tmp/trellium.deb
figure "package $(stat -c %s "$deb") bytes, $(dpkg-deb --field "$deb" Installed-Size) KiB installed"
figure "apt-get install with its dependencies in the fresh root: $(seconds_since "$start") s"

check "trellium $version installed" \
  '[ "$(in_root dpkg-query -W -f="\${Status} \${Version}" trellium)" = "install ok installed $version" ]'
check "dependencies and recommendations installed" \
  'in_root dpkg-query -W isc-dhcp-server tftpd-hpa libfreeipmi17 >/dev/null'
check "program in /usr/sbin" '[ -x "$root/usr/sbin/trellium" ]'
check "resources in /usr/share/trellium" '[ -f "$root/usr/share/trellium/resources/trellium.xml" ] &&
  [ -f "$root/usr/share/trellium/resources/docroot/trellium.css" ]'
check "options file, templates and PAM service are conffiles" \
  '[ "$(in_root dpkg-query -W -f="\${Conffiles}" trellium | awk "NF { print \$1 }" | sort | tr "\n" " ")" = \
     "/etc/pam.d/trellium /etc/trellium/dhcpd.conf.in /etc/trellium/hosts.clean /etc/trellium/wthttpd " ]'
check "the administrators' group made" 'in_root getent group trellium >/dev/null'
check "fixed paths reach them" 'link_to /root/trl/resources/wthttpd /etc/trellium/wthttpd &&
  link_to /usr/share/trellium/host/dhcpd.conf.in /etc/trellium/dhcpd.conf.in &&
  link_to /usr/share/trellium/host/hosts.clean /etc/trellium/hosts.clean'
check "state, core and TFTP directories, with a boot option" '[ -d "$root/var/lib/trellium" ] && [ -d "$root/var/crash" ] &&
  [ -d "$root/var/lib/tftpboot/trellium/pxelinux.cfg" ] && [ -d "$root/var/lib/tftpboot/trellium/qv-config" ] &&
  [ -f "$root/var/lib/tftpboot/trellium/os/0-local-disk/PXELINUX" ]'
check "unit installed and enabled" '[ -f "$root/lib/systemd/system/trellium.service" ] &&
  link_to /etc/systemd/system/multi-user.target.wants/trellium.service /lib/systemd/system/trellium.service'
# The DHCP server's own configuration, as its package left it.
dhcp_conffile=$(in_root dpkg-query -W -f='${Conffiles}' isc-dhcp-server | awk '$1 == "/etc/dhcp/dhcpd.conf" { print $2 }')
check "dhcpd.conf untouched" '[ "$(md5 /etc/dhcp/dhcpd.conf)" = "$dhcp_conffile" ]'
# systemd's own units are not in the minimal root: verify against this
# machine's, with the installed unit, program and manual page.
verify=$work/verify
mkdir -p "$verify/lib/systemd" "$verify/usr/sbin"
cp -a /lib/systemd/system "$verify/lib/systemd/"
cp "$root/lib/systemd/system/trellium.service" "$verify/lib/systemd/system/"
cp "$root/usr/sbin/trellium" "$verify/usr/sbin/"
analysis=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$verify" /lib/systemd/system/trellium.service 2>&1 ||
  echo "exit status $?")
figure "systemd-analyze security: $(systemd-analyze security --offline=true --root="$verify" trellium.service 2>&1 | tail -1)"
check "systemd-analyze verify is clean" '[ -z "$analysis" ] || { echo "$analysis"; false; }'

# --- Run the unit's program ----------------------------------------------------
port=
for candidate in $(shuf -i 20000-60000 -n 20); do
  ss -Hltn "sport = :$candidate" | grep -q . || { port=$candidate; break; }
done
# The administrator's edit of the options file: HTTPS on this machine's
# loopback.
sed -i -e 's/^https-address = .*/https-address = 127.0.0.1/' -e "s/^https-port = .*/https-port = $port/" \
  "$root/etc/trellium/wthttpd"
options=$(md5 /etc/trellium/wthttpd)
host_core_pattern=$(cat /proc/sys/kernel/core_pattern)

# The start page over HTTPS: the sign-in page.
page() {
  printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' |
    timeout 5 openssl s_client -quiet -connect "127.0.0.1:$port" 2>/dev/null
}
serves_page() {
  local i
  for i in $(seq 150); do
    # Read whole first: grep leaving early would fail the pipe (pipefail).
    grep -q "Trellium v$version</title>.*action=\"/_w/signin\"" <<<"$(page)" && return 0
    sleep 0.2
  done
  return 1
}
starts() { cat "$state/starts" 2>/dev/null || echo 0; }
started() {
  local i
  for i in $(seq 150); do [ "$(starts)" -ge "$1" ] && [ -f "$state/pid" ] && return 0; sleep 0.2; done
  return 1
}

# The minimal root has no systemd, so no systemctl for the unit's
# --service-control: the DHCP service is "controlled" by /bin/true, appended
# after ExecStart's own options (the last one given wins).
"$source_dir/lab/supervise.sh" --state "$state" --append --service-control --append /bin/true \
  "$root/lib/systemd/system/trellium.service" \
  -- "$source_dir/tests/package/in-root.sh" "$root" >"$work/trellium.log" 2>&1 &
supervisor=$!
check "the installed program serves the sign-in page over HTTPS" serves_page
check "with the certificate it made (0600)" \
  '[ "$(stat -c %a "$root/var/lib/trellium/private/server.crt" "$root/var/lib/trellium/private/server.key" |
     tr "\n" " ")" = "600 600 " ]'
# An upgrade ends the program with status 20 through its own SIGTERM; the
# unit's rules start it again.
kill -TERM "$(cat "$state/pid")" 2>/dev/null || true
check "exit status 20 on its own starts it again" 'started 2'
check "the new process serves the page" serves_page
# systemctl stop: SIGTERM, status 20 again, and it stays stopped.
kill -TERM "$supervisor"
stopped=0
wait "$supervisor" || stopped=$?
supervisor=
check "a stop stays stopped" '[ "$stopped" = 0 ] && [ "$(starts)" = 2 ] && [ "$(tr "\n" " " <"$state/exits")" = "20 20 " ]'
check "the machine's core pattern untouched" '[ "$(cat /proc/sys/kernel/core_pattern)" = "$host_core_pattern" ]'

# --- Reinstall keeps the state and the administrator's files ---------------------
check "the program made its node table" '[ -f "$root/var/lib/trellium/nodes.db" ]'
# Two records' worth of recognisable bytes stand for a real table.
head -c 672 /dev/zero | tr '\0' 'N' >"$root/var/lib/trellium/nodes.db"
table=$(md5 /var/lib/trellium/nodes.db)
# dhcpd.conf is the program's to write once it runs; a reinstall keeps it.
dhcp_conf=$(md5 /etc/dhcp/dhcpd.conf)
apt_offline install --reinstall /tmp/trellium.deb
check "reinstall keeps the node table" '[ "$(md5 /var/lib/trellium/nodes.db)" = "$table" ]'
check "reinstall keeps the edited options file" '[ "$(md5 /etc/trellium/wthttpd)" = "$options" ]'
check "reinstall leaves dhcpd.conf alone" '[ "$(md5 /etc/dhcp/dhcpd.conf)" = "$dhcp_conf" ]'

# --- Purge ---------------------------------------------------------------------------
apt_offline purge trellium
after_purge=$(listing)
gone() { local p; for p; do if [ -e "$root$p" ] || [ -L "$root$p" ]; then echo "still there: $p"; return 1; fi; done; }
check "purge removes the package's files, configuration and links" 'gone /usr/sbin/trellium /usr/share/trellium \
  /etc/trellium /root/trl /lib/systemd/system/trellium.service \
  /etc/systemd/system/multi-user.target.wants/trellium.service /var/lib/trellium/private /var/lib/tftpboot/trellium'
check "purge keeps the node table unless asked" '[ "$(md5 /var/lib/trellium/nodes.db)" = "$table" ]'
# New since before the installation: the dependencies' files and the state
# kept on purpose; nothing else of Trellium's.
leftovers=$(comm -13 <(echo "$before") <(echo "$after_purge") | grep -i trellium |
  grep -v -x -e './var/lib/trellium' -e './var/lib/trellium/nodes.db' || true)
check "nothing of Trellium's left but its state" '[ -z "$leftovers" ] || { echo "$leftovers"; false; }'

# A second round, the dependencies already there: a purge that is asked to
# takes the state too, and leaves the root as it was before the round.
start=$(date +%s.%N)
apt_offline install /tmp/trellium.deb
figure "apt-get install of the package alone: $(seconds_since "$start") s"
TRELLIUM_PURGE_STATE=yes apt_offline purge trellium
check "purge with TRELLIUM_PURGE_STATE=yes takes the node table; the root is as before the round" \
  '[ "$(listing)" = "$(echo "$after_purge" | grep -v "^./var/lib/trellium")" ]'

echo "package install test: $failures failed"
[ "$failures" = 0 ]
