#!/usr/bin/env bash
# Lays out a system root for Trellium in DIR, the way a management host has
# it: the DHCP server's files, the shipped templates, the TFTP tree with one
# boot option, the state directory, the core directory, the web server's
# options file, a stand-in for the service manager that records what it
# is asked (the lab replaces it with one that really runs dhcpd), and the
# sign-in: a PAM service and accounts of the root's own (below).
#   lab/make-sysroot.sh DIR [RESOURCES]
# RESOURCES is the assembled resources directory of a build
# (build/Release/resources); the options file is taken from there.
# LAB_PASSWORD: the demo account's password (default trellium-lab).
set -euo pipefail
root=${1:?usage: make-sysroot.sh DIR [RESOURCES]}
resources=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)

# A root with the package installed (the upgrade test's) has its own links
# at the fixed paths: they are absolute, so seen from outside the root they
# lead into this machine. They stay as the package made them, and so do its
# options file and its sign-in (the root's own accounts).
packaged() { [ -L "$root/$1" ]; }
mkdir -p "$root"/{etc/dhcp,sbin,var/lib/dhcp,var/lib/trellium,var/crash,var/log,proc/sys/kernel} \
         "$root"/usr/share/trellium/host \
         "$root"/var/lib/tftpboot/trellium/{pxelinux.cfg,qv-config,os/memtest}
packaged root/trl/resources || mkdir -p "$root/root/trl/resources"
for template in hosts.clean dhcpd.conf.in; do
  packaged "usr/share/trellium/host/$template" || install -m 0644 "$top/host/$template" "$root/usr/share/trellium/host/"
done
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
if [ -n "$resources" ] && ! packaged root/trl/resources; then
  # The shipped options file serves HTTPS on every address; in a lab or test
  # root Trellium is reached over plain HTTP on loopback (its command line
  # names the port).
  sed -E '/^(https?-address|https?-port|ssl-[a-z-]+) *=/d' "$resources/wthttpd" \
    >"$root/root/trl/resources/wthttpd"
  printf '# A lab or test root: plain HTTP on loopback.\nhttp-address = 127.0.0.1\nhttp-port = 8080\n' \
    >>"$root/root/trl/resources/wthttpd"
fi

# A packaged root signs people in with its own accounts and PAM service.
packaged root/trl/resources && exit 0

# Sign-in. With a system root, Trellium reads its PAM service from the
# root's etc/pam.d and who is in the administrators' group from the root's
# etc/passwd and etc/group: the host's accounts are never asked. One
# account, "demo", in the group "trellium", its password hashed in a file of
# the root (pam_pwdfile); etc/trellium/lab-account says "demo PASSWORD".
mkdir -p "$root/etc/pam.d" "$root/etc/trellium"
if [ ! -e "$root/etc/trellium/lab-account" ]; then
  password=${LAB_PASSWORD:-trellium-lab}
  hash=$(printf '%s' "$password" | openssl passwd -6 -stdin)
  (
    umask 077
    printf 'demo:%s\n' "$hash" >"$root/etc/trellium/lab.passwd"
    printf 'demo %s\n' "$password" >"$root/etc/trellium/lab-account"
  )
fi
cat >"$root/etc/pam.d/trellium" <<PAM
# Trellium's sign-in in this root: its own password file only.
auth     required  pam_pwdfile.so pwdfile=$root/etc/trellium/lab.passwd nodelay
account  required  pam_permit.so
PAM
[ -e "$root/etc/passwd" ] ||
  printf 'root:x:0:0:root:/root:/bin/sh\ndemo:x:1000:1000:Trellium demo:/nonexistent:/usr/sbin/nologin\n' \
    >"$root/etc/passwd"
[ -e "$root/etc/group" ] || printf 'root:x:0:\ndemo:x:1000:\ntrellium:x:999:demo\n' >"$root/etc/group"
