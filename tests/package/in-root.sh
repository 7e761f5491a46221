#!/bin/sh
# Runs a command inside the installed test root ROOT the way the host would
# run it, as far as a chroot can: in a mount namespace of its own whose
# /proc is a small tmpfs, so that what the program writes to
# /proc/sys/kernel/core_pattern lands in a plain file there and never in
# this machine's kernel. Ends by exec'ing the command (the supervisor
# signals that process).
#   tests/package/in-root.sh ROOT COMMAND [ARG]...
set -e
root=${1:?usage: in-root.sh ROOT COMMAND [ARG]...}
shift
exec unshare --mount --propagation private -- /bin/sh -c '
  set -e
  root=$1
  shift
  mount -t tmpfs -o mode=0555,size=1m trl-proc "$root/proc"
  mkdir -p "$root/proc/sys/kernel"
  : >"$root/proc/sys/kernel/core_pattern"
  exec chroot "$root" "$@"
' in-root "$root" "$@"
