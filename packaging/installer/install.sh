#!/bin/sh
# The installer of one release, run by its self-extracting archive in the
# unpacked payload: the release's .deb and the file "version".
#
#   started by upgrade (VORLA_INSTALL_DIR = the folder of that upgrade):
#       updates that installation, then starts its new binding;
#   run by hand:   sh vorla-VERSION.run [-- --prefix DIR]
#       installs per-user into ~/.local (or DIR); as root, the .deb.
#
# A per-user installation is replaced file by file: each new file is written
# beside the old one and renamed over it, so a failure at any point leaves
# complete programs that start. The system installation (the vorla package)
# is updated by the installed release's own helper behind the desktop's admin
# prompt: it checks, as root, a copy of this installer against the vendor's
# signature before the package manager installs it.
# Any failure leaves the installed release as it was, is told in a window
# where there is a display, and ends with a non-zero status.
set -u

here=$(pwd)
version=$(cat "$here/version" 2>/dev/null)
deb="$here/vorla_${version}_amd64.deb"
app_id=example.vorla.binding
install_dir=${VORLA_INSTALL_DIR:-}
unset VORLA_INSTALL_DIR

# Tells the user: on standard error always, in a window where there is a display.
tell() {
  echo "vorla-installer: $1" >&2
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || return 0
  if command -v zenity >/dev/null 2>&1; then
    zenity --error --title=Vorla --no-wrap --text="$1" >/dev/null 2>&1
  elif command -v kdialog >/dev/null 2>&1; then
    kdialog --title Vorla --error "$1" >/dev/null 2>&1
  elif command -v xmessage >/dev/null 2>&1; then
    xmessage -center -title Vorla "$1" >/dev/null 2>&1
  fi
}

# Starts `binding` on its own, as the user would; with "skip" its next update
# check offers no update, so a release that cannot be installed is not tried
# again at once (binding and this installer must never start each other for ever).
relaunch() {  # binding [skip]
  [ -x "$1" ] || return 0
  if [ "${2:-}" = skip ]; then
    VORLA_SKIP_UPDATE=1 setsid "$1" </dev/null >/dev/null 2>&1 &
  else
    setsid "$1" </dev/null >/dev/null 2>&1 &
  fi
}

# Gives up: the installed release stays; started by upgrade, it starts again.
fail() {  # message
  tell "Vorla $version 未能安装：$1"
  [ -n "$install_dir" ] && relaunch "$install_dir/binding" skip
  exit 1
}

# True when version $1 is newer than $2: "3.0.0.10" is newer than "3.0.0.9".
is_newer() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    n = split(a, x, "."); m = split(b, y, ".")
    for (i = 1; i <= 4; i++) { if (x[i] + 0 > y[i] + 0) exit 0; if (x[i] + 0 < y[i] + 0) exit 1 }
    exit 1 }'
}

# The Exec value that starts program $1, as the desktop entry format reads it:
# an argument with a reserved character goes in double quotes, with " ` $ and
# \ escaped by a backslash; every backslash is then doubled, the escape of a
# string value, and % doubled, the escape of a field code.
desktop_exec() {  # program
  ARG=$1 LC_ALL=C awk 'BEGIN {
    s = ENVIRON["ARG"]; quoted = s ~ /[ \t\n"\047\\><~|&;$*?#()`]/
    for (i = 1; i <= length(s); i++) {
      c = substr(s, i, 1)
      if (quoted && (c == "\"" || c == "`" || c == "$" || c == "\\")) c = "\\" c
      out = out c
    }
    if (quoted) out = "\"" out "\""
    for (i = 1; i <= length(out); i++) {
      c = substr(out, i, 1)
      if (c == "\\") c = "\\\\"; else if (c == "%") c = "%%"
      value = value c
    }
    printf "%s", value
  }'
}

# The running binding of that installation must be gone first: a new one
# started beside it would hand over to the old one and end. Bounded.
wait_for_exit() {  # binding
  target=$(readlink -f "$1" 2>/dev/null) || return 0
  tries=0
  while [ $tries -lt 150 ]; do
    running=
    for exe in /proc/[0-9]*/exe; do
      [ "$(readlink "$exe" 2>/dev/null)" = "$target" ] && running=1 && break
    done
    [ -z "$running" ] && return 0
    sleep 0.1
    tries=$((tries + 1))
  done
}

[ -n "$version" ] && [ -f "$deb" ] || fail "安装包不完整。"

# The system installation, or root: the package manager installs the .deb and
# resolves its dependencies; -y never accepts removing other packages.
install_package() {
  installed=$(dpkg-query -W -f='${Version}' vorla 2>/dev/null)
  if [ -n "$installed" ] && ! dpkg --compare-versions "$version" gt "$installed"; then
    fail "已安装的版本 $installed 不比它旧。"
  fi
  if [ "$(id -u)" -eq 0 ]; then
    apt-get install -y --no-remove "$deb" || fail "软件包管理器未能安装它。"
  else
    # Everything here is the user's and can change under the prompt: root
    # installs only what its helper has copied and checked itself. The helper
    # and the key are the installed release's, root's own.
    helper=$(dirname "$install_dir")/lib/vorla/vorla-system-update
    bundle=${MS_BUNDLE:-}
    [ -x "$helper" ] || fail "已安装的版本不能检查更新，请管理员手动安装。"
    [ -f "$bundle" ] && [ -f "$(dirname "$bundle")/update.xml" ] || fail "安装包不完整。"
    pkexec "$helper" "$bundle" "$(dirname "$bundle")/update.xml"
    case $? in
      0) ;;
      126|127) fail "没有得到管理员授权。" ;;
      1) fail "安装包未通过校验。" ;;
      2) fail "已安装的版本不比它旧。" ;;
      4) fail "已安装的版本不能检查更新，请管理员手动安装。" ;;
      *) fail "软件包管理器未能安装它。" ;;
    esac
  fi
  [ -n "$install_dir" ] && relaunch "$install_dir/binding"
  exit 0
}

# A per-user installation into prefix $1.
install_files() {
  prefix=$1
  mkdir -p "$prefix/bin" 2>/dev/null && [ -w "$prefix/bin" ] || fail "无法写入 $prefix。"
  installed=$(cat "$prefix/share/vorla/version" 2>/dev/null)
  if [ -n "$installed" ] && ! is_newer "$version" "$installed"; then
    fail "已安装的版本 $installed 不比它旧。"
  fi

  # Unpacked inside the prefix, so that every rename stays on one file system.
  staging=$(mktemp -d "$prefix/.vorla-install-XXXXXX") || fail "无法写入 $prefix。"
  trap 'rm -rf "$staging"' EXIT
  dpkg-deb -x "$deb" "$staging" || fail "安装包已损坏，或磁盘空间不足。"
  tree="$staging/usr"
  data_home=${XDG_DATA_HOME:-$HOME/.local/share}
  # The desktop finds the entry and the icon only in its data folders; the
  # entry starts this binding, whatever its prefix holds.
  entry="$tree/share/applications/$app_id.desktop"
  EXEC=$(desktop_exec "$prefix/bin/binding") awk '$0 == "Exec=binding" { print "Exec=" ENVIRON["EXEC"]; next } { print }' \
    "$entry" >"$entry.new" && mv -f "$entry.new" "$entry" || fail "安装包已损坏。"

  # Every file first written beside its place, then all renamed over: the
  # programs last, binding after upgrade.
  list="$staging/files"
  (cd "$tree" && find . -type f ! -path ./bin/binding ! -path ./bin/upgrade | sort; echo ./bin/upgrade; echo ./bin/binding) >"$list"
  while read -r file; do
    dest="$prefix/${file#./}"
    mkdir -p "$(dirname "$dest")" && cp -p --remove-destination "$tree/$file" "$dest.vorla-new" || {
      while read -r undo; do rm -f "$prefix/${undo#./}.vorla-new"; done <"$list"
      fail "无法写入 $prefix（磁盘空间不足？）。"
    }
  done <"$list"
  for extra in "applications/$app_id.desktop" "icons/hicolor/128x128/apps/$app_id.png" \
               "icons/hicolor/128x128@2/apps/$app_id.png"; do
    if [ "$data_home/$extra" != "$prefix/share/$extra" ]; then
      mkdir -p "$(dirname "$data_home/$extra")" && cp -p --remove-destination "$tree/share/$extra" "$data_home/$extra.vorla-new" &&
        mv -f "$data_home/$extra.vorla-new" "$data_home/$extra"
    fi
  done
  wait_for_exit "$prefix/bin/binding"
  while read -r file; do
    mv -f "$prefix/${file#./}.vorla-new" "$prefix/${file#./}" || fail "无法替换 $prefix/${file#./}。"
  done <"$list"
  command -v update-desktop-database >/dev/null 2>&1 && update-desktop-database "$data_home/applications" >/dev/null 2>&1
  [ -n "$install_dir" ] && relaunch "$prefix/bin/binding"
  exit 0
}

if [ -n "$install_dir" ]; then
  # An update: the installation whose upgrade started this.
  if [ "$(dpkg-query -S "$install_dir/binding" 2>/dev/null | cut -d: -f1)" = vorla ]; then
    install_package
  fi
  install_files "$(dirname "$install_dir")"
fi

# A first install, by hand.
prefix=
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=${2:-}; shift 2 || break ;;
    --prefix=*) prefix=${1#--prefix=}; shift ;;
    *) echo "usage: sh vorla-$version.run [-- --prefix DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$prefix" ] && [ "$(id -u)" -eq 0 ]; then
  install_package
fi
[ -n "$prefix" ] || prefix=$HOME/.local
case $prefix in /*) ;; *) prefix=$(pwd -P)/$prefix ;; esac
install_files "$prefix"
