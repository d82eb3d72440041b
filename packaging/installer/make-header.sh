#!/usr/bin/env bash
# Writes makeself's archive header with one addition: a payload that fails its
# size or checksum test is told in a window too (an update runs with no
# terminal), and the installation that asked for it starts again unchanged.
#
#   bash make-header.sh MAKESELF_HEADER VERSION > header.sh
#
# The header is a here-document that makeself expands when it writes an
# archive: what the archive itself must expand is written \$.
set -euo pipefail
source_header=$1
version=$2

notice=$(cat <<'EOT'
vorla_damaged() {
    vorla_text="Vorla @VERSION@ 未能安装：安装包已损坏，已安装的版本没有改动。请重新下载它。"
    echo "\$vorla_text" >&2
    if test -n "\${DISPLAY:-}\${WAYLAND_DISPLAY:-}"; then
        if command -v zenity >/dev/null 2>&1; then
            zenity --error --title=Vorla --no-wrap --text="\$vorla_text" >/dev/null 2>&1
        elif command -v kdialog >/dev/null 2>&1; then
            kdialog --title Vorla --error "\$vorla_text" >/dev/null 2>&1
        elif command -v xmessage >/dev/null 2>&1; then
            xmessage -center -title Vorla "\$vorla_text" >/dev/null 2>&1
        fi
    fi
    if test -n "\${VORLA_INSTALL_DIR:-}" && test -x "\$VORLA_INSTALL_DIR/binding"; then
        VORLA_SKIP_UPDATE=1 setsid "\$VORLA_INSTALL_DIR/binding" </dev/null >/dev/null 2>&1 &
    fi
}
EOT
)
notice=${notice//@VERSION@/$version}

NOTICE=$notice awk '
  { print_line = $0 }
  pending && /exit 2/ { sub(/exit 2/, "vorla_damaged; exit 2", print_line); pending = 0; told++ }
  /Error in (SHA256 |MD5 )?checksums|Unexpected archive size/ { pending = 1 }
  { print print_line }
  /^ORIG_UMASK=/ { print ENVIRON["NOTICE"]; defined = 1 }
  END { if (!defined || told < 4) { print "make-header: makeself header not as expected" > "/dev/stderr"; exit 1 } }
' "$source_header"
