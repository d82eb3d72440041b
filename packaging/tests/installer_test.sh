#!/usr/bin/env bash
# The installer of a release made by scripts/release.sh, run as a user would
# run it: a first install by hand, the system installation's route through the
# package manager (pkexec and dpkg-query stand-ins record what it asks), and
# the failures that must leave the installed release as it was.
#
#   bash installer_test.sh RELEASE_DIR VERSION
set -uo pipefail
release=$1
version=$2
run=$release/vorla-$version.run
deb=vorla_${version}_amd64.deb
failures=0
passes=0
check() {  # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}

temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT
mkdir -p "$temp/fake" "$temp/home"
# Stand-ins: each records its arguments; the window a failure opens is zenity's.
cat >"$temp/fake/zenity" <<EOF
#!/bin/sh
echo "\$*" >>"$temp/told"
EOF
cat >"$temp/fake/pkexec" <<EOF
#!/bin/sh
echo "\$*" >>"$temp/pkexec"
# The package it is asked to install must be there, whole, while it runs.
dpkg-deb --field "\$4" Version >>"$temp/pkexec"
exit \${PKEXEC_STATUS:-0}
EOF
cat >"$temp/fake/dpkg-query" <<EOF
#!/bin/sh
case "\$1" in
  -S) echo "vorla: \$2" ;;
  -W) printf %s "\${INSTALLED_PACKAGE:-3.0.0.7}" ;;
esac
EOF
chmod +x "$temp/fake/"*
: >"$temp/told" && : >"$temp/pkexec"
# As an ordinary user, as updates run: as root the installer would install the
# package on this machine for real.
user=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 0755 "$temp" && chown -R 65534:65534 "$temp"
  user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
as_user() {  # runs the installer as that user, with a display and the stand-ins
  "${user[@]}" env -u VORLA_INSTALL_DIR HOME="$temp/home" XDG_DATA_HOME="$temp/home/.local/share" \
    TMPDIR="$temp/home" DISPLAY=:none PATH="$temp/fake:$PATH" "$@" >"$temp/out" 2>&1
}

# A first install by hand, into a prefix of the user's choice.
as_user sh "$run" -- --prefix "$temp/prefix"
check "a first install succeeds" [ $? -eq 0 ]
check "the programs are installed" [ -x "$temp/prefix/bin/binding" -a -x "$temp/prefix/bin/upgrade" ]
check "the installed version is the release's" [ "$(cat "$temp/prefix/share/vorla/version")" = "$version" ]
entry=$temp/home/.local/share/applications/example.vorla.binding.desktop
check "the desktop finds the entry, which starts that binding" grep -qx "Exec=$temp/prefix/bin/binding" "$entry"
check "the desktop finds the icon" [ -f "$temp/home/.local/share/icons/hicolor/128x128/apps/example.vorla.binding.png" ]
check "the desktop finds the icon for screens that scale by 2" [ -f "$temp/home/.local/share/icons/hicolor/128x128@2/apps/example.vorla.binding.png" ]
check "nothing is left beside the files" [ -z "$(find "$temp/prefix" -name '*.vorla-new' -o -name '.vorla-install-*')" ]

# The same release again: not newer, refused, told, nothing changed.
tree() { find "$1" -exec stat -c '%n %i %Y %s' {} + | sort; }
before=$(tree "$temp/prefix")
as_user sh "$run" -- --prefix "$temp/prefix"
check "a release not newer than the installed one fails" [ $? -ne 0 ]
check "and is told in a window" grep -q "不比它旧" "$temp/told"
check "and changes nothing" [ "$before" = "$(tree "$temp/prefix")" ]

# A damaged payload is refused before anything is unpacked, and told.
cp "$run" "$temp/damaged.run"
size=$(stat -c %s "$temp/damaged.run")
printf 'XXXX' | dd of="$temp/damaged.run" bs=1 seek=$((size - 5000)) conv=notrunc status=none
: >"$temp/told"
as_user sh "$temp/damaged.run" -- --prefix "$temp/other"
check "a damaged installer fails" [ $? -ne 0 ]
check "and is told in a window" grep -q "损坏" "$temp/told"
check "and installs nothing" [ ! -e "$temp/other/bin/binding" ]

# A prefix the user cannot write.
mkdir -p "$temp/locked" && chmod 0555 "$temp/locked"
: >"$temp/told"
as_user sh "$run" -- --prefix "$temp/locked"
check "an unwritable prefix fails" [ $? -ne 0 ]
check "and is told" grep -q "无法写入" "$temp/told"
check "and gets nothing" [ -z "$(ls -A "$temp/locked")" ]

# A disk that fills up during an update: the installed release stays as it was,
# and the failure is told. The prefix is a small file system of its own, in
# namespaces of the user's; the installation above is copied there and made
# one release older.
mkdir -p "$temp/small"
: >"$temp/told"
"${user[@]}" unshare --user --map-root-user --mount env HOME="$temp/home" XDG_DATA_HOME="$temp/home/.local/share" \
  TMPDIR="$temp/home" DISPLAY=:none PATH="$temp/fake:$PATH" sh -c '
  run=$1 small=$2 temp=$3
  mount -t tmpfs -o size=8m tmpfs "$small" && cp -a "$temp/prefix" "$small/prefix" || exit 1
  echo 3.0.0.1 >"$small/prefix/share/vorla/version"
  # Room for the unpacked release and half of its copies.
  need=$(( $(du -sb "$small/prefix" | cut -f1) * 3 / 2 ))
  fallocate -l $(( $(df --output=avail -B1 "$small" | tail -n1) - need )) "$small/filler" || exit 1
  find "$small/prefix" -type f -exec stat -c "%n %i %Y %s" {} + | sort >"$temp/small-before"
  [ -s "$temp/small-before" ] || exit 1
  sh "$run" -- --prefix "$small/prefix" >/dev/null 2>&1
  echo $? >"$temp/small-status"
  find "$small/prefix" -type f -exec stat -c "%n %i %Y %s" {} + | sort >"$temp/small-after"
  "$small/prefix/bin/upgrade" >/dev/null 2>&1
  echo $? >"$temp/small-starts"
  find "$small" -name "*.vorla-new" -o -name ".vorla-install-*" >"$temp/small-left"
  rm "$small/filler"
  sh "$run" -- --prefix "$small/prefix" >/dev/null 2>&1 && cat "$small/prefix/share/vorla/version" >"$temp/small-then"
' sh "$run" "$temp/small" "$temp" 2>"$temp/out"
check "a small file system of the user's own is there" [ $? -eq 0 ]
check "an update on a full disk fails" [ "$(cat "$temp/small-status" 2>/dev/null)" = 1 ]
check "and is told" grep -q "磁盘空间不足" "$temp/told"
check "and leaves every installed file as it was" cmp -s "$temp/small-before" "$temp/small-after"
check "and the installed updater still runs" [ "$(cat "$temp/small-starts" 2>/dev/null)" = 0 ]
check "and leaves nothing beside the files" [ "$(cat "$temp/small-left" 2>/dev/null || echo missing)" = "" ]
check "with room again, the update succeeds" [ "$(cat "$temp/small-then" 2>/dev/null)" = "$version" ]

# The system installation, as an update started by its upgrade: the new
# package goes to the package manager behind the admin prompt.
as_user env VORLA_INSTALL_DIR=/usr/bin sh "$run"
check "the package route succeeds" [ $? -eq 0 ]
check "the package manager is asked, behind the admin prompt, for the release's package" \
  grep -qx "apt-get install -y .*/$deb" "$temp/pkexec"
check "with the whole package there" grep -qx "$version" "$temp/pkexec"
: >"$temp/pkexec" && : >"$temp/told"
as_user env VORLA_INSTALL_DIR=/usr/bin PKEXEC_STATUS=126 sh "$run"
check "a cancelled admin prompt fails" [ $? -ne 0 ]
check "and is told" grep -q "没有得到管理员授权" "$temp/told"
: >"$temp/pkexec" && : >"$temp/told"
as_user env VORLA_INSTALL_DIR=/usr/bin INSTALLED_PACKAGE="$version" sh "$run"
check "a package not newer than the installed one fails" [ $? -ne 0 ]
check "without asking for the admin prompt" [ ! -s "$temp/pkexec" ]

echo "installer_test: $passes passed, $failures failed"
[ $failures -eq 0 ]
