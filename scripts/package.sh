#!/usr/bin/env bash
# Makes the Debian package trellium_<version>_amd64.deb from a Release build.
#   scripts/package.sh [--version V] [--build DIR] [--out DIR]
# Without --version it packages the build that scripts/setup.sh makes
# (build/Release, built first if needed) at the version of the project()
# line. --version V builds another version of the same source into
# build/package-V (-DTRL_VERSION=V, tests not built): a package N+1 to test
# upgrades with, made without editing a file. The package goes into the
# build directory unless --out names another; the script prints its path.
#
# Layout: the program in /usr/sbin; the message bundle and document root in
# /usr/share/trellium/resources; the options file and the two host templates
# as conffiles in /etc/trellium, reached from their fixed paths
# (/root/trl/resources/wthttpd, /usr/share/trellium/host/*) through links;
# the PAM service of the sign-in as the conffile /etc/pam.d/trellium; the
# unit in /lib/systemd/system. The maintainer scripts (packaging/debian)
# lay out the state, core and TFTP directories and the /root/trl link.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
version=
build=
out=
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    --out) out=${2:?}; shift 2 ;;
    *) echo "usage: $0 [--version V] [--build DIR] [--out DIR]" >&2; exit 2 ;;
  esac
done
if [ -n "$version" ]; then
  build=${build:-$top/build/package-$version}
  extra=(-DTRL_VERSION="$version" -DBUILD_TESTING=OFF)
else
  build=${build:-$top/build/Release}
  extra=()
fi
if command -v ccache >/dev/null; then
  extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [ -n "$version" ] || [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${extra[@]}" >/dev/null
fi
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
  { echo "package: $build is not a Release build" >&2; exit 1; }
cmake --build "$build" --target trellium trl_resources

# The version the program was built with, which its page title shows.
version=$(sed -n 's/^#define TRELLIUM_VERSION "\(.*\)"$/\1/p' "$build/generated/modules/version.h")
[ -n "$version" ] || { echo "package: no version in $build/generated/modules/version.h" >&2; exit 1; }
out=${out:-$build}
deb=$out/trellium_${version}_amd64.deb

# dpkg-shlibdeps wants to run in a source tree, on debian/<package>.
work=$build/package
stage=$work/debian/trellium
rm -rf "$work"
mkdir -p "$stage" "$out"
umask 022
# Reproducible: every time stamp is the source's last commit.
SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

pkg=$top/packaging
install -D -m 0755 "$build/gui/trellium" "$stage/usr/sbin/trellium"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/sbin/trellium"

install -d "$stage/usr/share/trellium/resources" "$stage/usr/share/trellium/host" "$stage/etc/trellium"
cp -r "$build/resources/trellium.xml" "$build/resources/docroot" "$stage/usr/share/trellium/resources/"
install -m 0644 "$build/resources/wthttpd" "$top/host/dhcpd.conf.in" "$top/host/hosts.clean" "$stage/etc/trellium/"
ln -s /etc/trellium/wthttpd "$stage/usr/share/trellium/resources/wthttpd"
for template in dhcpd.conf.in hosts.clean; do
  ln -s "/etc/trellium/$template" "$stage/usr/share/trellium/host/$template"
done
install -D -m 0644 "$top/host/trellium.pam" "$stage/etc/pam.d/trellium"
install -D -m 0644 "$pkg/trellium.service" "$stage/lib/systemd/system/trellium.service"
install -d "$stage/usr/share/man/man8"
gzip -9n <"$pkg/trellium.8" >"$stage/usr/share/man/man8/trellium.8.gz"

doc=$stage/usr/share/doc/trellium
install -D -m 0644 "$pkg/debian/copyright" "$doc/copyright"
{
  printf 'trellium (%s) bookworm; urgency=medium\n\n  * Release %s.\n\n' "$version" "$version"
  printf ' -- Trellium developers <trellium@example.org>  %s\n' "$(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.gz"
find "$stage" -type f -exec chmod go-w {} + -o -type d -exec chmod 0755 {} +

# Depends: the shared libraries the program links, as dpkg-shlibdeps finds
# them (in debian/<package>, with its DEBIAN directory).
install -d "$stage/DEBIAN"
printf 'Source: trellium\n\nPackage: trellium\nArchitecture: amd64\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O debian/trellium/usr/sbin/trellium | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependency" >&2; exit 1; }

size=$(du -sk --apparent-size --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$pkg/debian/control" >"$stage/DEBIAN/control"
printf '/etc/trellium/%s\n' wthttpd dhcpd.conf.in hosts.clean >"$stage/DEBIAN/conffiles"
echo /etc/pam.d/trellium >>"$stage/DEBIAN/conffiles"
install -m 0755 "$pkg/debian/postinst" "$pkg/debian/prerm" "$pkg/debian/postrm" "$stage/DEBIAN/"
(cd "$stage" && find . -path ./DEBIAN -prune -o -path ./etc -prune -o -type f -printf '%P\0' |
  sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/conffiles" "$stage/DEBIAN/md5sums"

dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
echo "$deb"
