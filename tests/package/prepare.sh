#!/usr/bin/env bash
# Downloads what the package install test needs, before the test suite
# enters its network namespace (which has no way out):
#   root   a fresh Debian 12 root, mmdebstrap --variant=minbase from this
#          host's apt sources, with its package lists;
#   deps   the packages `apt-get install ./trellium.deb` fetches into that
#          root (dependencies and recommendations), left in its apt cache.
# Both stay in BUILD/package-test; a rerun downloads only what is missing.
#   tests/package/prepare.sh BUILD root|deps|all [DEB]
# DEB defaults to the newest BUILD/trellium_*_amd64.deb (scripts/package.sh).
set -euo pipefail
build=${1:?usage: prepare.sh BUILD root|deps|all [DEB]}
what=${2:-all}
deb=${3:-}
cache=$build/package-test
root=$cache/root
suite=bookworm
mkdir -p "$cache"
# Scratch copies that an interrupted install test left behind.
rm -rf --one-file-system "$cache"/run.*

sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && echo "$f"
  done
  return 0
}

bootstrap() {
  # The root is made again when the host's apt sources or this recipe change.
  local key
  key=$(md5sum <"$0"; sources | xargs cat | md5sum)
  if [ -f "$cache/root.key" ] && [ "$(cat "$cache/root.key")" = "$key" ] && [ -d "$root" ]; then
    return 0
  fi
  command -v mmdebstrap >/dev/null || { echo "prepare: mmdebstrap is missing: run scripts/setup.sh" >&2; exit 1; }
  local new=$cache/root.new mirrors=()
  rm -rf --one-file-system "$new" "$root" "$cache/root.key"
  mapfile -t mirrors < <(sources)
  [ ${#mirrors[@]} -gt 0 ] || { echo "prepare: no apt sources on this host" >&2; exit 1; }
  echo "prepare: bootstrapping a $suite root (minbase) into $root"
  local start=$SECONDS
  # The host's package lists are current (setup.sh updated them): start
  # from them, so apt only checks that they still are. The lists stay in the
  # root, for the test's installs without network. A root for tests: dpkg
  # need not sync every file it unpacks.
  mmdebstrap --quiet --variant=minbase --format=directory --skip=cleanup/apt/lists --dpkgopt=force-unsafe-io \
    --aptopt='Acquire::GzipIndexes "true"' --aptopt='Acquire::Languages "none"' \
    --setup-hook='mkdir -p "$1/var/lib/apt/lists" && cp /var/lib/apt/lists/*_InRelease /var/lib/apt/lists/*_Packages* "$1/var/lib/apt/lists/" 2>/dev/null || true' \
    "$suite" "$new" "${mirrors[@]}"
  mv "$new" "$root"
  echo "$key" >"$cache/root.key"
  echo "prepare: root ready in $((SECONDS - start)) s ($(du -sm "$root" | cut -f1) MB)"
}

download() {
  if [ -z "$deb" ]; then
    deb=$(ls -t "$build"/trellium_*_amd64.deb 2>/dev/null | head -1)
  fi
  [ -f "$deb" ] || { echo "prepare: no package in $build: run scripts/package.sh first" >&2; exit 1; }
  # The package itself is only looked at; it leaves the root again.
  install -m 0644 "$deb" "$root/tmp/trellium.deb"
  local start=$SECONDS
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -q -y --download-only /tmp/trellium.deb \
    >"$cache/deps.log" 2>&1 || { cat "$cache/deps.log" >&2; rm -f "$root/tmp/trellium.deb"; exit 1; }
  rm -f "$root/tmp/trellium.deb"
  # The install test takes this very package.
  readlink -f "$deb" >"$cache/deb"
  echo "prepare: $(ls "$root"/var/cache/apt/archives/*.deb 2>/dev/null | wc -l) packages cached for the install in $((SECONDS - start)) s"
}

case "$what" in
  root) bootstrap ;;
  deps) download ;;
  all) bootstrap; download ;;
  *) echo "prepare: root, deps or all, not $what" >&2; exit 2 ;;
esac
