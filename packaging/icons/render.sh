#!/usr/bin/env bash
# Renders sonolabel.svg into the PNG sizes that are installed beside it.
# The PNGs are kept in the repository, so a build needs no SVG renderer; run
# this after changing the SVG (needs rsvg-convert, Debian package
# librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" sonolabel.svg -o "sonolabel-$size.png"
done
