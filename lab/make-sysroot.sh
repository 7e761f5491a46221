#!/usr/bin/env bash
# Lays out a system root for Trellium in DIR, the way a management host has
# it: the DHCP server's files, the shipped templates, the TFTP tree with one
# boot option, the state directory, the core directory, the web server's
# options file, and a stand-in for the service manager that records what it
# is asked (the lab replaces it with one that really runs dhcpd).
#   lab/make-sysroot.sh DIR [RESOURCES]
# RESOURCES is the assembled resources directory of a build
# (build/Release/resources); the options file is taken from there.
set -euo pipefail
root=${1:?usage: make-sysroot.sh DIR [RESOURCES]}
resources=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$root"/{etc/dhcp,sbin,var/lib/dhcp,var/lib/trellium,var/crash,proc/sys/kernel,root/trl/resources} \
         "$root"/usr/share/trellium/host \
         "$root"/var/lib/tftpboot/trellium/{pxelinux.cfg,qv-config,os/memtest}
install -m 0644 "$top/host/hosts.clean" "$top/host/dhcpd.conf.in" "$root/usr/share/trellium/host/"
[ -e "$root/etc/hosts" ] || install -m 0644 "$top/host/hosts.clean" "$root/etc/hosts"
[ -e "$root/etc/dhcp/dhcpd.conf" ] || { cat "$top/host/dhcpd.conf.in"; printf '\n}\n'; } >"$root/etc/dhcp/dhcpd.conf"
[ -e "$root/var/lib/dhcp/dhcpd.leases" ] || : >"$root/var/lib/dhcp/dhcpd.leases"
: >"$root/proc/sys/kernel/core_pattern"
# One boot option, so that the Deployment module has something to apply.
printf 'Memory test\n' >"$root/var/lib/tftpboot/trellium/os/memtest/NAME"
printf 'DEFAULT memtest\nLABEL memtest\n  KERNEL memtest86+.bin\n  APPEND console=ttyS0 serial X\n' \
  >"$root/var/lib/tftpboot/trellium/os/memtest/PXELINUX"
if [ ! -e "$root/sbin/initctl" ]; then
  cat >"$root/sbin/initctl" <<'STUB'
#!/bin/sh
# Records the request; a real host's service manager would act on it.
echo "$*" >> "$(dirname "$0")/initctl.calls"
exit 0
STUB
  chmod 0755 "$root/sbin/initctl"
fi
# The DHCP server checks every configuration Trellium writes (dhcpd -t).
mkdir -p "$root/usr/sbin"
[ -e "$root/usr/sbin/dhcpd" ] || ln -s /usr/sbin/dhcpd "$root/usr/sbin/dhcpd"
# Validating an upload reads the package with dpkg-deb, which only reads.
mkdir -p "$root/usr/bin"
[ -e "$root/usr/bin/dpkg-deb" ] || ln -s /usr/bin/dpkg-deb "$root/usr/bin/dpkg-deb"
if [ -n "$resources" ]; then
  install -m 0644 "$resources/wthttpd" "$root/root/trl/resources/wthttpd"
fi
