#!/usr/bin/env bash
# Writes makeself's archive header with two changes: a payload that fails its
# size or checksum test, or cannot be unpacked, is told in a window too (an
# update runs with no terminal), and the installation that asked for it starts
# again unchanged; and the payload is unpacked into a folder made by mktemp -d
# (makeself names it after $RANDOM, which dash does not have: the name is
# predictable, and anyone who made that folder first ended the update).
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
    vorla_tell "Vorla @VERSION@ 未能安装：安装包已损坏，已安装的版本没有改动。请重新下载它。"
}
vorla_unpack_failed() {
    vorla_tell "Vorla @VERSION@ 未能安装：安装包无法解压（临时文件夹不可用或空间不足），已安装的版本没有改动。"
}
vorla_tell() {
    vorla_text=\$1
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
  unpacking && /exit 1/ { sub(/exit 1/, "vorla_unpack_failed; exit 1", print_line); unpacking = 0; unpack_told++ }
  /^\ttmpdir="\\\$TMPROOT\/selfgz\\\$\\\$\\\$RANDOM"$/ {
    print_line = "\ttmpdir=\\`mktemp -d \"\\$TMPROOT/selfgz.XXXXXXXXXX\"\\`"; made = 1
  }
  made == 1 && /dashp=""/ { sub(/dashp=""/, "dashp=\"-p\"", print_line); made = 2 }
  /Error in (SHA256 |MD5 )?checksums|Unexpected archive size/ { pending = 1 }
  /Cannot create target directory|Not enough space left in|Unable to decompress/ { unpacking = 1 }
  { print print_line }
  /^ORIG_UMASK=/ { print ENVIRON["NOTICE"]; defined = 1 }
  END {
    if (!defined || told < 4 || unpack_told < 3 || made != 2) {
      print "make-header: makeself header not as expected" > "/dev/stderr"; exit 1
    }
  }
' "$source_header"
