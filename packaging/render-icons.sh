#!/usr/bin/env bash
# Renders the checked-in hicolor PNGs from the SVG; run after changing the SVG and commit the result.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/icons"
id=io.github.nfcdesk.NetflowCollector
for size in 32 48 128 256; do
    rsvg-convert --width "$size" --height "$size" "$id.svg" --output "$id-$size.png"
done
