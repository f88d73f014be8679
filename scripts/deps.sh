#!/usr/bin/env bash
# Installs the Debian packages Sonolabel needs to build, test and run;
# with the argument "package" also what scripts/package.sh checks the Debian
# package with.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev libxcb1-dev
  # Qt's own Japanese texts for its standard buttons and dialogs.
  qt6-translations-l10n
  libcurl4-openssl-dev
  # MusicBrainz: the disc ID (libdiscid). Header-only: JSON (nlohmann) and the
  # command line's parser (CLI11).
  libdiscid-dev nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # libcddb: an independent reader of submitted entries in the tests.
  libcddb2-dev
  fonts-ipafont-gothic fontconfig
  xvfb xauth
  curl
  # Hardening: static checks (scripts/lint.sh), memcheck (scripts/valgrind.sh)
  # and libFuzzer for clang (scripts/fuzz.sh).
  clang clang-tidy cppcheck valgrind libclang-rt-14-dev
)
if [ "${1:-}" = package ]; then
  PACKAGES+=(lintian appstream desktop-file-utils man-db)
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
