#!/usr/bin/env bash
# The installed tree as a desktop sees it: both programs side by side in bin/,
# the desktop entry and the metainfo valid and pointing at what is installed.
set -uo pipefail
prefix=$1
shift
programs=("$@")  # the programs this build installs
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for program in "${programs[@]}"; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done

# binding's spelling dictionaries, where it points the engine: English at least.
if [[ " ${programs[*]} " == *" binding "* ]]; then
  [ -s "$prefix/share/vorla/qtwebengine_dictionaries/en-US.bdic" ] || fail "the en-US spelling dictionary is not installed"
fi

desktop=$(find "$prefix/share/applications" -name '*.desktop' 2>/dev/null)
[ "$(echo "$desktop" | grep -c .)" -eq 1 ] || fail "expected one desktop entry, found: $desktop"
if [ -f "$desktop" ]; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
  id=$(basename "$desktop" .desktop)
  key() { sed -n "s/^$1=//p" "$desktop"; }
  exec=$(key Exec | cut -d' ' -f1)
  if [[ " ${programs[*]} " == *" $exec "* ]]; then
    [ -x "$prefix/bin/$exec" ] || fail "Exec=$exec is not an installed program"
  else
    echo "note: Exec=$exec is not built here; its presence is not checked"
  fi
  [ "$(key StartupWMClass)" = "$exec" ] ||
    fail "StartupWMClass=$(key StartupWMClass) is not the program's window class"

  # At 128x128, and for screens that scale by 2 at 128x128@2 (256 pixels).
  for theme_size in 128x128:128x128 128x128@2:256x256; do
    icon=$prefix/share/icons/hicolor/${theme_size%%:*}/apps/$(key Icon).png
    if [ -f "$icon" ]; then
      # PNG: width and height are the big-endian words at bytes 16 and 20.
      size=$(od -An -tu1 -j16 -N8 "$icon" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }')
      [ "$size" = "${theme_size#*:}" ] || fail "the icon at ${theme_size%%:*} is $size, not ${theme_size#*:}"
    else
      fail "Icon=$(key Icon) is not in the hicolor theme at ${theme_size%%:*}"
    fi
  done

  metainfo=$prefix/share/metainfo/$id.metainfo.xml
  if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $metainfo"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
      fail "the metainfo does not launch $id.desktop"
  else
    fail "no metainfo for $id"
  fi
fi

[ "$failures" -eq 0 ] && echo "desktop integration: all checks passed"
[ "$failures" -eq 0 ]
