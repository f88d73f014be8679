#!/usr/bin/env bash
# Builds the Debian package of Sonolabel and checks it: lintian (fails on
# errors, prints warnings), appstreamcli validate of the AppStream metainfo,
# desktop-file-validate of the desktop entry and man's warnings for the
# manual pages. The package lands in ${BUILD_DIR:-build}/package/; install it
# with `sudo apt install ./build/package/sonolabel_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
rm -f "$BUILD_DIR"/package/sonolabel_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
DEB=$(ls "$BUILD_DIR"/package/sonolabel_*.deb)
echo "== $DEB"
dpkg-deb --field "$DEB" Package Version Depends Recommends
echo "== appstreamcli validate"
appstreamcli validate --no-net packaging/org.sonolabel.Sonolabel.metainfo.xml
echo "== desktop-file-validate"
desktop-file-validate packaging/org.sonolabel.Sonolabel.desktop
echo "== manual pages"
for page in packaging/man/*.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then echo "$page: $warnings" >&2; exit 1; fi
done
echo "== lintian"
lintian --fail-on error --display-info "$DEB"
echo "Package checks passed: $DEB"
