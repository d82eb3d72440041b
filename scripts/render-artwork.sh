#!/usr/bin/env bash
# Re-renders every artwork PNG from its SVG source at the size the programs
# expect, and NAME@2x.png beside each at twice that size: Qt takes the @2x file
# on a screen that scales by more than 1, so pictures stay sharp at 1.5 and 2.
# Opaque pictures are flattened onto white (rsvg-convert then writes 24-bit
# RGB); icons keep their alpha channel. Needs librsvg2-bin.
set -euo pipefail
cd "$(dirname "$0")/.."

# render_one SVG WIDTH HEIGHT opaque|alpha PNG
render_one() {
  local svg=$1 w=$2 h=$3 mode=$4 png=$5
  if [ "$mode" = opaque ]; then
    rsvg-convert --width="$w" --height="$h" --background-color=white "$svg" -o "$png"
  else
    rsvg-convert --width="$w" --height="$h" "$svg" -o "$png"
  fi
  echo "rendered $png (${w}x${h}, $mode)"
}

# render SVG WIDTH HEIGHT opaque|alpha: NAME.png and NAME@2x.png
render() {
  render_one "$1" "$2" "$3" "$4" "${1%.svg}.png"
  render_one "$1" $(($2 * 2)) $(($3 * 2)) "$4" "${1%.svg}@2x.png"
}

render upgrade/resources/banner.svg  580  66 opaque
render upgrade/resources/icon.svg    128 128 alpha
render binding/resources/icon.svg    128 128 alpha
render binding/resources/waiting.svg  93 160 opaque
render binding/resources/failure.svg 104 137 opaque
