#!/bin/sh
# lintian finds no error and no warning in the package the install test
# installs (tests/package/prepare.sh names it); skipped without one.
#   tests/package/lintian_test.sh BUILD
deb=$(cat "${1:?usage: lintian_test.sh BUILD}/package-test/deb" 2>/dev/null) || {
  echo "SKIP: no prepared package; run scripts/test.sh"
  exit 77
}
exec lintian --fail-on error,warning --info "$deb"
