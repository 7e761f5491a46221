# Sourced by the benchmark scripts: runs the script again, as root, inside a
# network namespace of its own with only loopback up, as the test suite runs.
if [ -z "${TRL_IN_NETNS:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "$(basename "$0"): run as root (the lab creates namespaces)" >&2; exit 1; }
  export TRL_IN_NETNS=1
  exec unshare --net -- bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi
