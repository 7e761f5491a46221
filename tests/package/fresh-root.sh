#!/bin/sh
# A scratch copy DEST of the fresh Debian root that tests/package/prepare.sh
# keeps in BUILD/package-test, with the package DEB at /tmp/trellium.deb,
# ready for `apt-get install /tmp/trellium.deb` without network.
#   tests/package/fresh-root.sh BUILD DEST DEB
set -e
cp -a "${1:?usage: fresh-root.sh BUILD DEST DEB}/package-test/root" "${2:?}"
# Package scripts must not start daemons here; there is no init anyway.
printf '#!/bin/sh\nexit 101\n' >"$2/usr/sbin/policy-rc.d"
chmod 0755 "$2/usr/sbin/policy-rc.d"
install -m 0644 "${3:?}" "$2/tmp/trellium.deb"
