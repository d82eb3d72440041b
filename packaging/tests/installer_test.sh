#!/usr/bin/env bash
# The installer of a release made by scripts/release.sh, run as a user would
# run it: a first install by hand, the system installation's route through the
# package manager (pkexec and dpkg-query stand-ins record what it asks), and
# the failures that must leave the installed release as it was; prefixes with
# characters that need quoting, links planted where files go, a squatted
# unpack folder; and, as root, the system installation's update helper on
# that release's package.
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
root_temp=$(mktemp -d)
trap 'rm -rf "$temp" "$root_temp"' EXIT
mkdir -p "$temp/fake" "$temp/home"
# Stand-ins: each records its arguments; the window a failure opens is zenity's.
cat >"$temp/fake/zenity" <<EOF
#!/bin/sh
echo "\$*" >>"$temp/told"
EOF
cat >"$temp/fake/pkexec" <<EOF
#!/bin/sh
echo "\$*" >>"$temp/pkexec"
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
  # Three times the installation, whatever it weighs (the spelling dictionaries
  # alone are megabytes); the filler below takes what it must not have.
  size=$(( $(du -sb "$temp/prefix" | cut -f1) * 3 + 1048576 ))
  mount -t tmpfs -o size=$size tmpfs "$small" && cp -a "$temp/prefix" "$small/prefix" || exit 1
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

# The system installation, as an update started by its upgrade: the admin
# prompt is asked to run the installed release's helper on the installer and
# the manifest as upgrade downloaded them (its folder holds both).
sys=$temp/sys
mkdir -p "$sys" "$temp/dl"
dpkg-deb -x "$release/$deb" "$sys"
cp "$run" "$temp/dl/vorlax.exe" && cp "$release/update.xml" "$temp/dl/update.xml"
[ "$(id -u)" -eq 0 ] && chown -R 65534:65534 "$sys" "$temp/dl"
: >"$temp/pkexec" && : >"$temp/told"
as_user env VORLA_INSTALL_DIR="$sys/usr/bin" sh "$temp/dl/vorlax.exe"
check "the package route succeeds" [ $? -eq 0 ]
check "the admin prompt is asked for the installed release's helper, on what upgrade downloaded" \
  grep -qx "$sys/usr/lib/vorla/vorla-system-update $temp/dl/vorlax.exe $temp/dl/update.xml" "$temp/pkexec"
: >"$temp/pkexec" && : >"$temp/told"
as_user env VORLA_INSTALL_DIR="$sys/usr/bin" PKEXEC_STATUS=126 sh "$temp/dl/vorlax.exe"
check "a cancelled admin prompt fails" [ $? -ne 0 ]
check "and is told" grep -q "没有得到管理员授权" "$temp/told"
: >"$temp/pkexec" && : >"$temp/told"
as_user env VORLA_INSTALL_DIR="$sys/usr/bin" PKEXEC_STATUS=1 sh "$temp/dl/vorlax.exe"
check "a package the helper refuses fails, and is told" grep -q "未通过校验" "$temp/told"
: >"$temp/pkexec" && : >"$temp/told"
as_user env VORLA_INSTALL_DIR="$sys/usr/bin" INSTALLED_PACKAGE="$version" sh "$temp/dl/vorlax.exe"
check "a package not newer than the installed one fails" [ $? -ne 0 ]
check "without asking for the admin prompt" [ ! -s "$temp/pkexec" ]

# The helper itself, as root, as pkexec runs it once the admin has answered:
# the package manager and the installed version are stand-ins, bound over the
# real ones in a mount namespace of the test's own. What it installs must be
# the vendor's package, from a folder of root's, however the user's files change.
if [ "$(id -u)" -eq 0 ]; then
  dpkg-deb -x "$release/$deb" "$root_temp"
  cat >"$root_temp/apt-get" <<EOF
#!/bin/sh
for deb; do :; done
echo "\$*" >"$root_temp/apt-args"
stat -c '%U %a' "\$(dirname "\$(dirname "\$deb")")" >"$root_temp/apt-folder"
# The user rewrites the downloaded installer while the package manager runs.
cp "$temp/damaged.run" "$temp/dl/vorlax.exe"
sha256sum "\$deb" | cut -d' ' -f1 >"$root_temp/apt-digest"
EOF
  cat >"$root_temp/dpkg-query" <<EOF
#!/bin/sh
printf %s "\${INSTALLED_PACKAGE:-3.0.0.7}"
EOF
  chmod 0755 "$root_temp/apt-get" "$root_temp/dpkg-query"
  helper() {  # installer manifest: the helper's status
    rm -f "$root_temp/apt-args" "$root_temp/apt-digest" "$root_temp/apt-folder"
    env -i INSTALLED_PACKAGE="${INSTALLED_PACKAGE:-}" unshare --mount sh -c '
      mount --bind "$1/apt-get" /usr/bin/apt-get && mount --bind "$1/dpkg-query" /usr/bin/dpkg-query || exit 99
      shift; exec "$@"' sh "$root_temp" "$root_temp/usr/lib/vorla/vorla-system-update" "$@" >"$root_temp/out" 2>&1
  }
  cp "$run" "$temp/dl/vorlax.exe"
  helper "$temp/dl/vorlax.exe" "$temp/dl/update.xml"
  check "the helper installs the signed release" [ $? -eq 0 ]
  check "through the package manager, removing nothing" \
    grep -qx "install -y --no-remove /tmp/vorla-system-update\.[^/]*/payload/$deb" "$root_temp/apt-args"
  check "from a folder of root's alone" [ "$(cat "$root_temp/apt-folder" 2>/dev/null)" = "root 700" ]
  check "the package installed is the vendor's, though the user's copy changed meanwhile" \
    [ "$(cat "$root_temp/apt-digest" 2>/dev/null)" = "$(sha256sum "$release/$deb" | cut -d' ' -f1)" ]
  check "the helper's folder is gone" [ ! -e "$(dirname "$(dirname "$(cut -d' ' -f4 "$root_temp/apt-args")")")" ]
  # Rewritten by the user during the prompt, before the helper makes its
  # copy: a well-formed installer of the same version whose package carries
  # one file more.
  evil=$root_temp/evil
  mkdir -p "$evil/payload" && dpkg-deb -R "$release/$deb" "$evil/deb" && echo evil >"$evil/deb/usr/share/vorla/evil" &&
    dpkg-deb -b "$evil/deb" "$evil/payload/$deb" >/dev/null && echo "$version" >"$evil/payload/version" &&
    printf '#!/bin/sh\n' >"$evil/payload/install.sh" &&
    makeself --quiet --nox11 --nocomp "$evil/payload" "$evil/evil.run" evil ./install.sh >/dev/null
  cp "$evil/evil.run" "$temp/dl/vorlax.exe"
  helper "$temp/dl/vorlax.exe" "$temp/dl/update.xml"
  check "an installer rewritten under the prompt is refused" [ $? -eq 1 ]
  check "and nothing is installed" [ ! -e "$root_temp/apt-args" ]
  cp "$run" "$temp/dl/vorlax.exe"
  sed 's|<signature>.*</signature>||' "$release/update.xml" >"$temp/dl/unsigned.xml"
  helper "$temp/dl/vorlax.exe" "$temp/dl/unsigned.xml"
  check "an unsigned manifest is refused" [ $? -eq 1 ]
  openssl genpkey -algorithm ed25519 -out "$root_temp/other-key.pem" 2>/dev/null
  digest=$(sha256sum "$run" | cut -d' ' -f1)
  printf '%s\n%s' "$version" "$digest" >"$root_temp/signed"
  other=$(openssl pkeyutl -sign -rawin -inkey "$root_temp/other-key.pem" -in "$root_temp/signed" | base64 -w0)
  sed "s|<signature>.*</signature>|<signature>$other</signature>|" "$release/update.xml" >"$temp/dl/other.xml"
  helper "$temp/dl/vorlax.exe" "$temp/dl/other.xml"
  check "a manifest signed by another key is refused" [ $? -eq 1 ]
  sed "s|<version>$version</version>|<version>9.9.9.9</version>|" "$release/update.xml" >"$temp/dl/forged.xml"
  helper "$temp/dl/vorlax.exe" "$temp/dl/forged.xml"
  check "a version changed after signing is refused" [ $? -eq 1 ]
  INSTALLED_PACKAGE=$version helper "$temp/dl/vorlax.exe" "$temp/dl/update.xml"
  check "a release not newer than the installed package is refused" [ $? -eq 2 ]
  check "and nothing is installed" [ ! -e "$root_temp/apt-args" ]
else
  echo "note: not root: the update helper's own checks are skipped"
fi

# Prefixes with characters the desktop entry must quote: each installs, its
# entry validates, and the desktop starts that prefix's binding from it.
for name in "with space" "R&D" "a|b"; do
  prefix=$temp/prefixes/$name
  as_user sh "$run" -- --prefix "$prefix"
  check "a prefix named '$name' installs" [ $? -eq 0 ]
  check "and its entry validates ('$name')" desktop-file-validate "$entry"
  # The installed binding stands aside for one that says it was started.
  as_user sh -c 'printf "#!/bin/sh\necho \"\$0\" >\"%s/launched\"\n" "$1" >"$2/bin/binding"' sh "$temp" "$prefix"
  rm -f "$temp/launched"
  "${user[@]}" env HOME="$temp/home" XDG_DATA_HOME="$temp/home/.local/share" gio launch "$entry" >/dev/null 2>&1
  for _ in $(seq 50); do [ -s "$temp/launched" ] && break; sleep 0.1; done
  check "and the desktop starts its binding ('$name')" [ "$(cat "$temp/launched" 2>/dev/null)" = "$prefix/bin/binding" ]
done

# An update into a prefix where links wait at the names new files are
# written to: each new file is made afresh, never written through a link.
echo 3.0.0.1 >"$temp/prefix/share/vorla/version"
echo keep >"$temp/victim"
ln -s "$temp/victim" "$temp/prefix/bin/upgrade.vorla-new"
ln -s "$temp/victim" "$entry.vorla-new"
[ "$(id -u)" -eq 0 ] && chown -h 65534:65534 "$temp/victim" "$temp/prefix/bin/upgrade.vorla-new" "$entry.vorla-new"
as_user sh "$run" -- --prefix "$temp/prefix"
check "an update with links planted beside the files succeeds" [ $? -eq 0 ]
check "and writes through none of them" [ "$(cat "$temp/victim")" = keep ]
check "and installs the programs" cmp -s "$temp/prefix/bin/upgrade" "$sys/usr/bin/upgrade"

# The archive unpacks into a folder made by mktemp -d: the name makeself would
# take (selfgz and the shell's pid, dash having no $RANDOM), made first by
# someone else, blocks nothing.
as_user sh -c 'mkdir "$TMPDIR/selfgz$$" && exec sh "$1" -- --prefix "$2"' sh "$run" "$temp/squatted"
check "a squatted unpack folder does not block the install" [ -x "$temp/squatted/bin/binding" ]
# Where nothing can be unpacked, an update says so and starts the installed
# binding again.
mkdir -p "$temp/fakeinstall"
printf '#!/bin/sh\necho "skip=$VORLA_SKIP_UPDATE" >"%s/relaunched"\n' "$temp" >"$temp/fakeinstall/binding"
chmod 0755 "$temp/fakeinstall/binding"
[ "$(id -u)" -eq 0 ] && chown -R 65534:65534 "$temp/fakeinstall"
: >"$temp/told"
as_user env VORLA_INSTALL_DIR="$temp/fakeinstall" TMPDIR="$temp/absent" sh "$run"
check "an installer that cannot unpack fails" [ $? -ne 0 ]
check "and is told" grep -q "无法解压" "$temp/told"
for _ in $(seq 50); do [ -s "$temp/relaunched" ] && break; sleep 0.1; done
check "and starts the installed binding again, offering no update" [ "$(cat "$temp/relaunched" 2>/dev/null)" = "skip=1" ]

echo "installer_test: $passes passed, $failures failed"
[ $failures -eq 0 ]
