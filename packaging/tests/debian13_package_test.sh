#!/usr/bin/env bash
# The release's package and installer on a fresh system, as scripts/test-debian13.sh
# runs it inside a fresh Debian 13 root (as root there): the .deb from
# /release installs with apt, which pulls in everything it needs; the installed
# binding, run by an ordinary user against the demo site (/src/demo), reaches
# the signed-in page; the per-user installer installs programs that start.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive PATH=$PATH:/usr/sbin
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

apt-get update -qq || { echo "FAIL: apt-get update" >&2; exit 1; }
deb=$(ls /release/vorla_*_amd64.deb) || { echo "FAIL: no package in /release" >&2; exit 1; }
apt-get install -y -qq "$deb" >/tmp/apt.log 2>&1 || { tail -n 20 /tmp/apt.log >&2; echo "FAIL: apt install $deb" >&2; exit 1; }
echo "installed $(dpkg-query -W -f='${Package} ${Version}' vorla)"
missing=$(ldd /usr/bin/binding /usr/bin/upgrade | grep 'not found')
[ -z "$missing" ] || fail "libraries the package does not pull in: $missing"

# What drives the test, installed only now that the package has shown what it
# pulls in by itself; and xz, which every standard install has and the
# installer's archive needs.
apt-get install -y -qq --no-install-recommends xvfb xauth xdotool nginx fcgiwrap python3 curl openssl xz-utils \
  >/tmp/apt-tools.log 2>&1 || { tail -n 20 /tmp/apt-tools.log >&2; echo "FAIL: installing the test's tools" >&2; exit 1; }

user=65534
home=$(mktemp -d)
chown "$user:$user" "$home"
as_user() { setpriv --reuid=$user --regid=$user --clear-groups env HOME="$home" XDG_DATA_HOME="$home/.local/share" "$@"; }

site_pid="" xvfb_pid="" binding_pid=""
stop() {
  for pid in $binding_pid $site_pid $xvfb_pid; do kill "$pid" 2>/dev/null; done
  for pid in $binding_pid $site_pid $xvfb_pid; do timeout 20 tail --pid="$pid" -f /dev/null; done
}
trap stop EXIT

site_log=$(mktemp)
bash /src/demo/site.sh none >"$site_log" 2>&1 &
site_pid=$!
proxy=""
for _ in $(seq 150); do
  proxy=$(sed -n 's/^http_proxy=//p' "$site_log")
  [ -n "$proxy" ] && break
  sleep 0.2
done
[ -n "$proxy" ] || { cat "$site_log" >&2; echo "FAIL: the demo site did not start" >&2; exit 1; }

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb_pid=$!
number=""
read -r -t 30 number <"$fifo"
rm -f "$fifo"
[ -n "$number" ] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$number

window() {  # title pattern, seconds
  timeout "$2" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n1
}

# The installed binding, sandbox on, reaches the signed-in page.
as_user env DISPLAY="$DISPLAY" http_proxy="$proxy" QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu \
  /usr/bin/binding >"$home/binding.log" 2>&1 &
binding_pid=$!
page=$(window "Vorla (Sign-in|Workspace)" 90)
if [ -z "$page" ]; then
  fail "the installed binding showed no sign-in page"
  cat "$home/binding.log" >&2
else
  signed_in=""
  for _ in 1 2 3 4 5; do
    xdotool windowfocus --sync "$page" key Return 2>/dev/null
    signed_in=$(window "Vorla Workspace" 6) && [ -n "$signed_in" ] && break
  done
  if [ -n "$signed_in" ]; then
    echo "the installed binding reached the signed-in page"
  else
    fail "the installed binding did not reach the signed-in page"
    cat "$home/binding.log" >&2
  fi
fi
if grep -qi 'sandbox' "$home/binding.log"; then
  fail "the sandbox is off for an ordinary user"
  grep -i sandbox "$home/binding.log" >&2
fi
kill -TERM "$binding_pid"
timeout 20 tail --pid="$binding_pid" -f /dev/null || fail "binding did not end on SIGTERM"
binding_pid=""

# The per-user installer installs programs that run.
run=$(ls /release/vorla-*.run)
cp "$run" "$home/"
chown "$user:$user" "$home/$(basename "$run")"
if as_user env -u DISPLAY timeout 120 sh "$home/$(basename "$run")" >"$home/installer.log" 2>&1; then
  for program in binding upgrade; do
    [ -x "$home/.local/bin/$program" ] || fail "the installer put no $program in ~/.local/bin"
  done
  missing=$(ldd "$home/.local/bin/binding" "$home/.local/bin/upgrade" 2>&1 | grep 'not found')
  [ -z "$missing" ] || fail "the per-user install misses libraries: $missing"
  ls "$home/.local/share/applications/"*.desktop >/dev/null 2>&1 || fail "the installer put no desktop entry"
  echo "the per-user installer installed into ~/.local"
else
  fail "the per-user installer failed"
  cat "$home/installer.log" >&2
fi

[ $failures -eq 0 ] && echo "PASS: the Debian 12 release installs and runs on Debian 13"
exit $((failures > 0))
