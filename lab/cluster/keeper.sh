#!/bin/bash
# The first process of the lab's own process namespace (started by
# cluster-up.sh through `unshare --pid --fork`). Every daemon of the lab is
# started detached inside this namespace, so when its starter exits the
# kernel hands it to this process, which reaps it the moment it ends: no
# zombies, even on a machine whose init does not reap. When this process
# dies, the kernel kills everything left in the namespace, so a lab can
# always be taken down by stopping one process.
#   keeper.sh STATEDIR
set -uo pipefail
state=${1:?usage: keeper.sh STATEDIR}

# /proc is the outer namespace's, so /proc/self names this process by the id
# the rest of the machine (cluster-down.sh, the service-control stand-in)
# knows it by.
read -r outer_pid _ </proc/self/stat
printf '%s\n' "$(readlink /proc/self/ns/pid)" >"$state/keeper.pidns.tmp"
mv -f "$state/keeper.pidns.tmp" "$state/keeper.pidns"
printf '%s\n' "$outer_pid" >"$state/keeper.pid.tmp"
mv -f "$state/keeper.pid.tmp" "$state/keeper.pid"

# The first process of a namespace receives only the signals it handles.
# SIGTERM asks every other process of the lab to stop, waits a bounded time,
# then kills what is left and ends the namespace.
shutdown() {
  local deadline=$((SECONDS + 6))
  kill -TERM -1 2>/dev/null
  # kill -0 -1 succeeds while any other process of the namespace exists;
  # the sleep between checks reaps the ones that ended.
  while kill -0 -1 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.05
  done
  kill -KILL -1 2>/dev/null
  exit 0
}
trap shutdown TERM INT HUP

# Waiting on a child of its own lets bash collect every child that ends,
# including the ones the kernel handed over.
while :; do
  sleep 3600 &
  wait $!
done
