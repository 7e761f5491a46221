#!/bin/bash
# Takes a virtual cluster made by cluster-up.sh down and leaves nothing
# behind: its processes (the lab's own, and anything still running in its
# network namespaces, such as a Trellium started there by hand), its
# namespaces, its system root when the lab made it, its state directory.
# Safe to run twice, and after a crash of the lab or of cluster-up.sh.
#   lab/cluster-down.sh [PREFIX | STATEDIR | --all]
# Without an argument it takes down the only lab there is.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$top/lab/cluster/common.sh"
LAB_SCRIPT=cluster-down.sh

[ "$(id -u)" = 0 ] || lab_die "run as root: the lab's namespaces and processes belong to root"

usage() {
  echo "usage: lab/cluster-down.sh [PREFIX | STATEDIR | --all]" >&2
  exit 2
}

# True once process PID has exited (a zombie counts as exited: its parent,
# not us, collects it).
gone() {
  local stat rest
  IFS= read -r stat 2>/dev/null <"/proc/$1/stat" || return 0
  rest=${stat##*) }
  case ${rest:0:1} in Z|X) return 0 ;; esac
  return 1
}

# Waits at most MS milliseconds until every PID has exited; false if not.
wait_all_gone() {
  local ms=$1 now deadline pid left
  shift
  lab_ms now
  deadline=$((now + ms))
  while :; do
    left=0
    for pid in "$@"; do gone "$pid" || left=1; done
    [ "$left" = 0 ] && return 0
    lab_ms now
    [ "$now" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# This process and its ancestors: never signalled, even when run from
# inside the lab's management namespace.
declare -A protected
pid=$$
while [ -n "$pid" ] && [ "$pid" != 0 ] && [ -z "${protected[$pid]:-}" ]; do
  protected[$pid]=1
  stat=
  IFS= read -r stat 2>/dev/null <"/proc/$pid/stat" || break
  rest=${stat##*) }
  read -r _ pid _ <<<"$rest"
done

# TERM, a grace period, then KILL, for the given processes.
stop_processes() {
  local what=$1 pid
  shift
  local targets=()
  for pid in "$@"; do
    [ -z "${protected[$pid]:-}" ] && ! gone "$pid" && targets+=("$pid")
  done
  [ ${#targets[@]} -gt 0 ] || return 0
  echo "stopping ${#targets[@]} $what: ${targets[*]}"
  kill -TERM "${targets[@]}" 2>/dev/null || true
  if ! wait_all_gone 5000 "${targets[@]}"; then
    kill -KILL "${targets[@]}" 2>/dev/null || true
    wait_all_gone 3000 "${targets[@]}" || echo "cluster-down.sh: processes did not exit: ${targets[*]}" >&2
  fi
}

# Processes whose namespace of the given kind (net, pid) has one of the
# given inode numbers.
processes_in() {
  local kind=$1 inode path
  shift
  local -A wanted=()
  for inode in "$@"; do wanted[$inode]=1; done
  # One stat for all processes; processes that end meanwhile are skipped.
  while read -r inode path; do
    if [ -n "${wanted[$inode]:-}" ]; then
      path=${path#/proc/}
      echo "${path%%/*}"
    fi
  done < <(stat -L -c '%i %n' /proc/[0-9]*/ns/"$kind" 2>/dev/null || true)
}

down_one() {
  local prefix=$1 state=$2 pid pidns inode name
  [[ $prefix =~ $LAB_PREFIX_PATTERN ]] || lab_die "'$prefix' is not a lab prefix"
  echo "taking down lab $prefix"

  # 1. The keeper, and with it every process of the lab's process namespace.
  if [ -f "$state/keeper.pid" ]; then
    LAB_STATE=$state
    pid=$(lab_read "$state/keeper.pid")
    pidns=$(lab_read "$state/keeper.pidns")
    if lab_keeper_alive; then
      # Ask first: the keeper stops dhcpd and the rest, then ends.
      kill -TERM "$pid" 2>/dev/null || true
      if ! wait_all_gone 10000 "$pid"; then
        kill -KILL "$pid" 2>/dev/null || true
        wait_all_gone 3000 "$pid" || echo "cluster-down.sh: the keeper $pid did not exit" >&2
      fi
    fi
    # The namespace ends with its first process; anything left means the
    # kernel has not finished yet.
    inode=${pidns#pid:[}
    inode=${inode%]}
    if [ -n "$inode" ]; then
      mapfile -t left < <(processes_in pid "$inode")
      [ ${#left[@]} -eq 0 ] || wait_all_gone 3000 "${left[@]}" || true
    fi
  fi
  # After a crash before the keeper recorded itself, or of the keeper's
  # parent: whatever still runs the lab's programs.
  if [ -d "$state" ]; then
    mapfile -t left < <(grep -lsF -- "$state/" /proc/[0-9]*/cmdline 2>/dev/null | sed -n 's|^/proc/\([0-9]*\)/cmdline$|\1|p')
    stop_processes "processes of the lab" "${left[@]}"
  fi

  # 2. Anything else in the lab's network namespaces (a Trellium started
  #    there, a shell someone left).
  local names=() inodes=() path
  # One stat for all of them: a lab has up to 151 namespaces.
  while read -r inode path; do
    name=${path##*/}
    [[ $name =~ ^$prefix-(mgmt|host[0-9]+|bmc[0-9]+)$ ]] || continue
    names+=("$name")
    inodes+=("$inode")
  done < <(shopt -s nullglob; files=(/run/netns/"$prefix"-*); [ ${#files[@]} -eq 0 ] || stat -c '%i %n' "${files[@]}" 2>/dev/null)
  if [ ${#inodes[@]} -gt 0 ]; then
    mapfile -t left < <(processes_in net "${inodes[@]}")
    stop_processes "processes in the lab's network namespaces" "${left[@]}"
  fi

  # 3. The namespaces (their interfaces go with them).
  if [ ${#names[@]} -gt 0 ]; then
    printf 'netns del %s\n' "${names[@]}" | ip -force -batch - || true
    for name in "${names[@]}"; do
      [ ! -e "/run/netns/$name" ] || echo "cluster-down.sh: namespace $name is still there" >&2
    done
  fi

  # 4. Mounts: the lab's live in namespaces that are gone now; a mount on
  #    the state directory or system root would be a leftover.
  local sysroot='' created=0
  if [ -f "$state/lab.env" ]; then
    sysroot=$(sed -n 's/^LAB_SYSROOT=//p' "$state/lab.env")
    created=$(sed -n 's/^LAB_SYSROOT_CREATED=//p' "$state/lab.env")
  fi
  local mount_point
  while read -r _ _ _ _ mount_point _; do
    case $mount_point in
      "$state"|"$state"/*|"${sysroot:-$state}"/*) umount -l "$mount_point" 2>/dev/null || true ;;
    esac
  done < <(grep -F -e "$state" ${sysroot:+-e "$sysroot"} /proc/self/mountinfo 2>/dev/null || true)

  # 5. Files: a system root the lab made goes; one it was given gets its
  #    service-control program back.
  if [ -n "$sysroot" ] && [ -d "$sysroot" ]; then
    if [ "$created" = 1 ]; then
      rm -rf -- "$sysroot"
    elif [ -f "$state/initctl.orig" ]; then
      cp -p "$state/initctl.orig" "$sysroot/sbin/initctl"
    elif grep -qsF "$state/bin/initctl.sh" "$sysroot/sbin/initctl"; then
      rm -f "$sysroot/sbin/initctl"
    fi
  fi
  if [ -d "$state" ]; then
    rm -rf -- "$state"
  fi
  echo "lab $prefix is down"
}

[ $# -le 1 ] || usage
arg=${1:-}
targets=()
case $arg in
  -h|--help) usage ;;
  --all)
    for env in "$LAB_STATE_ROOT"/*/lab.env; do
      [ -e "$env" ] && targets+=("${env%/lab.env}")
    done
    for dir in "$LAB_STATE_ROOT"/*; do
      [ -d "$dir" ] && [ ! -e "$dir/lab.env" ] && targets+=("$dir")
    done
    ;;
  "")
    for dir in "$LAB_STATE_ROOT"/*; do
      [ -d "$dir" ] && targets+=("$dir")
    done
    if [ ${#targets[@]} -eq 0 ]; then
      echo "no lab is up (nothing under $LAB_STATE_ROOT)"
      exit 0
    fi
    [ ${#targets[@]} -eq 1 ] ||
      lab_die "several labs are up; name one, or --all: $(for t in "${targets[@]}"; do printf '%s ' "${t##*/}"; done)"
    ;;
  */*)
    # A state directory that is gone (a crash, an earlier take-down) still
    # names its lab's namespaces.
    if [ -d "$arg" ]; then targets=("$(cd "$arg" && pwd)"); else targets=("${arg%/}"); fi
    ;;
  *)
    targets=("$LAB_STATE_ROOT/$arg")
    ;;
esac

for state in "${targets[@]}"; do
  prefix=
  [ -f "$state/lab.env" ] && prefix=$(sed -n 's/^LAB_PREFIX=//p' "$state/lab.env")
  [ -n "$prefix" ] || prefix=${state##*/}
  # A state directory given by path must be a lab's: never remove another.
  if [ -e "$state" ] && [ ! -f "$state/lab.env" ] && [ "${state%/*}" != "$LAB_STATE_ROOT" ]; then
    lab_die "$state is not a lab's state directory (no lab.env)"
  fi
  down_one "$prefix" "$state"
done
