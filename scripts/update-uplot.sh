#!/usr/bin/env bash
# Refreshes the vendored copy of uPlot that the status page serves, from the npm registry:
#   scripts/update-uplot.sh 1.6.32
# Puts the minified build (a classic script that defines uPlot; half the size of the ES module
# build once compressed), its stylesheet and its licence into src/statuspage/assets/ and the
# version into uPlot.VERSION. Nothing else of the package is kept; no build step is needed.
set -euo pipefail
version="${1:?Aufruf: scripts/update-uplot.sh VERSION (etwa 1.6.32)}"
assets="$(cd "$(dirname "$0")/.." && pwd)/src/statuspage/assets"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "uplot@$version" > /dev/null)
tar -xzf "$work/uplot-$version.tgz" -C "$work"
install -m 644 "$work/package/dist/uPlot.iife.min.js" "$assets/uPlot.iife.min.js"
install -m 644 "$work/package/dist/uPlot.min.css" "$assets/uPlot.min.css"
install -m 644 "$work/package/LICENSE" "$assets/uPlot.LICENSE.txt"
echo "$version" > "$assets/uPlot.VERSION"
echo "uPlot $version nach $assets übernommen."
