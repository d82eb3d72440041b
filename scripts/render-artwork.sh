#!/usr/bin/env bash
# Re-renders every artwork PNG from its SVG source at the size the programs
# expect. Opaque pictures are flattened onto white (rsvg-convert then writes
# 24-bit RGB); icons keep their alpha channel. Needs librsvg2-bin.
set -euo pipefail
cd "$(dirname "$0")/.."

# render SVG WIDTH HEIGHT opaque|alpha
render() {
  local svg=$1 w=$2 h=$3 mode=$4 png=${1%.svg}.png
  if [ "$mode" = opaque ]; then
    rsvg-convert --width="$w" --height="$h" --background-color=white "$svg" -o "$png"
  else
    rsvg-convert --width="$w" --height="$h" "$svg" -o "$png"
  fi
  echo "rendered $png (${w}x${h}, $mode)"
}

render upgrade/resources/banner.svg  580  66 opaque
render upgrade/resources/icon.svg    128 128 alpha
render binding/resources/icon.svg    128 128 alpha
render binding/resources/waiting.svg  93 160 opaque
render binding/resources/failure.svg 104 137 opaque
