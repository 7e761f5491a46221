#!/usr/bin/env bash
# Installs everything Trellium needs on a fresh Debian 12 machine (as root),
# then configures and builds it. Safe to run again: it installs only what is
# missing and rebuilds only what changed.
#   scripts/setup.sh [build-type]   (Release by default; build dir build/<type>)
#   scripts/setup.sh --packages     (only the Debian and npm packages)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build_type=${1:-Release}

debs=(
  cmake ninja-build g++ pkg-config
  libboost-dev libboost-thread-dev libboost-regex-dev libboost-program-options-dev
  libfreeipmi-dev nlohmann-json3-dev
  # Sign-in through PAM and HTTPS; the lab's and the tests' PAM services
  # check passwords with pam_pwdfile, hashed by openssl.
  libpam0g-dev libssl-dev libpam-pwdfile openssl
  libgtest-dev libgmock-dev libbenchmark-dev libexpat1-dev
  openipmi libopenipmi-dev freeipmi-tools
  isc-dhcp-server udhcpc iproute2 tftpd-hpa
  dpkg-dev chromium librsvg2-bin socat
  # libFuzzer for the parsers' fuzz targets.
  clang libclang-rt-14-dev
  # The Debian package: its checks (systemd-analyze, lintian), and the
  # fresh Debian root it is installed into by the tests.
  systemd lintian mmdebstrap
)
command -v npm >/dev/null 2>&1 || debs+=(nodejs npm)

missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  # Package scripts must not start daemons (dhcpd, tftpd) on this machine:
  # the lab starts its own, in its own namespaces.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"; chmod 755 "$policy"; made_policy=1
  fi
  trap '[ "$made_policy" = 1 ] && rm -f "$policy"' EXIT
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ -f "$top/package-lock.json" ]; then
  if [ ! -d "$top/node_modules" ] || [ "$top/package-lock.json" -nt "$top/node_modules/.package-lock.json" ]; then
    (cd "$top" && npm ci --no-audit --no-fund)
  fi
fi

[ "$build_type" = --packages ] && exit 0

cmake -S "$top" -B "$top/build/$build_type" -G Ninja -DCMAKE_BUILD_TYPE="$build_type"
cmake --build "$top/build/$build_type"
