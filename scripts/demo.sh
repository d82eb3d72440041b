#!/usr/bin/env bash
# The main job as a user meets it: installs what is missing, builds, starts the
# demo site (demo/site.sh) and runs binding against it through http_proxy.
#
#   bash scripts/demo.sh [none|optional|mandatory|silent|webversion|update]
#
# The argument picks the update manifest the demo's vendor publishes; "update"
# installs this release per-user under build/demo/prefix, publishes a newer
# one made by scripts/release.sh, and shows it replacing the installed one. With a
# display the user drives the window; without one, everything runs under Xvfb
# and screenshots are saved to a folder the script names. Ctrl+C or closing
# the window ends the demo: site, updater and all. The demo keeps its data
# (the browser profile, the site's sessions, the installer's downloads) under
# build/demo/, so a second run finds the user still signed in.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
manifest=${1:-none}
case "$manifest" in
  none | optional | mandatory | silent | webversion | update) ;;
  *) echo "usage: bash scripts/demo.sh [none|optional|mandatory|silent|webversion|update]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh || { echo "demo: the dependency install failed" >&2; exit 1; }
if [ ! -f build/CMakeCache.txt ]; then
  cmake --preset default >/dev/null || { echo "demo: cmake could not configure the build" >&2; exit 1; }
fi
cmake --build --preset default -j2 --target binding upgrade upgrade_demo spelling_dictionaries ||
  { echo "demo: the build failed" >&2; exit 1; }
# binding beside the demo's upgrade, which trusts the demo's signing key only,
# and its spelling dictionaries where an installation has them.
bin=$root/build/demo/bin
mkdir -p "$bin" "$root/build/demo/share/vorla"
cp -f build/bin/binding "$bin/binding" && cp -f build/bin/upgrade_demo "$bin/upgrade" &&
  ln -sfn "$root/build/share/vorla/qtwebengine_dictionaries" "$root/build/demo/share/vorla/qtwebengine_dictionaries" ||
  { echo "demo: could not lay out $bin" >&2; exit 1; }
site_manifest=$manifest
release_dir=""
if [ "$manifest" = update ]; then
  # This build, installed per-user, is the release the user has; the release
  # command makes the next one, which the demo's vendor publishes.
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
  next=${version%.*}.$((${version##*.} + 2))
  rm -rf "$root/build/demo/prefix"
  cmake --install build --prefix "$root/build/demo/prefix" >/dev/null || { echo "demo: the install failed" >&2; exit 1; }
  cp -f build/bin/upgrade_demo "$root/build/demo/prefix/bin/upgrade"
  release_dir=$root/build/demo/release
  bash scripts/release.sh "$next" "$release_dir" --key demo/keys/demo-only-update-key.pem ||
    { echo "demo: the release command failed" >&2; exit 1; }
  bin=$root/build/demo/prefix/bin
  echo "demo: release $version installed in build/demo/prefix; release $next published"
  site_manifest=none
fi

demo=$root/build/demo
# A fresh temporary folder each run, so only this run's installer is reported.
rm -rf "$demo/tmp"
mkdir -p "$demo/site" "$demo/data" "$demo/tmp"
site_pid=""
binding_pid=""
xvfb_pid=""

# The updater leaves binding's process tree (it runs in a session of its own);
# it is recognised by its executable, ours.
updater_pids() {
  local exe
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$bin/upgrade" ] && basename "$(dirname "$exe")"
  done
}
# The binding the installer started after an update is no child of ours either.
installed_binding_pids() {
  local exe
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$bin/binding" | "$bin/binding (deleted)")
        grep -q -- --type= "$(dirname "$exe")/cmdline" 2>/dev/null || basename "$(dirname "$exe")" ;;
    esac
  done
}

finish() {
  trap - EXIT INT TERM HUP
  [ -n "$binding_pid" ] && kill "$binding_pid" 2>/dev/null
  local pid
  for pid in $(updater_pids); do kill "$pid" 2>/dev/null; done
  [ -n "$release_dir" ] && for pid in $(installed_binding_pids); do kill "$pid" 2>/dev/null; done
  [ -n "$binding_pid" ] && wait "$binding_pid" 2>/dev/null
  if [ -n "$site_pid" ]; then kill "$site_pid" 2>/dev/null; wait "$site_pid" 2>/dev/null; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  echo "demo: ended; the demo site has stopped"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

headless=false
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && headless=true

# The site, and the proxy address it prints once it answers (within 15 s).
rate=0
$headless && rate=100  # the manifest takes ~2 s, long enough to see the panel
VORLA_DEMO_STATE=$demo/site VORLA_DEMO_MANIFEST_RATE=$rate VORLA_DEMO_RELEASE=$release_dir \
  demo/site.sh "$site_manifest" > "$demo/site.out" 2>&1 &
site_pid=$!
proxy=""
for _ in $(seq 150); do
  proxy=$(sed -n 's/^http_proxy=//p' "$demo/site.out")
  [ -n "$proxy" ] && break
  kill -0 "$site_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$proxy" ]; then
  echo "demo: the demo site did not start:" >&2
  cat "$demo/site.out" >&2
  exit 1
fi
head -n1 "$demo/site.out"

export http_proxy=$proxy
unset no_proxy NO_PROXY HTTP_PROXY
export XDG_DATA_HOME=$demo/data TMPDIR=$demo/tmp

report_installer() {
  local marker
  marker=$(ls -t "$demo"/tmp/vorla-demo-installer.*/ran.txt 2>/dev/null | head -n1)
  [ -n "$marker" ] && echo "demo: the installer ran: $(cat "$marker") ($marker)"
}

if ! $headless; then
  echo "demo: sign in with user demo, password demo; close the window (or Ctrl+C) to end the demo"
  "$bin/binding" &
  binding_pid=$!
  wait "$binding_pid"
  status=$?
  binding_pid=""
  [ "$status" -eq 0 ] || echo "demo: binding ended with status $status" >&2
  if [ -n "$(updater_pids)" ]; then
    echo "demo: binding handed over to the updater; the demo ends when its window closes"
    while [ -n "$(updater_pids)" ]; do sleep 1; done
  fi
  if [ -n "$release_dir" ]; then
    sleep 5
    while [ -n "$(installed_binding_pids)" ]; do
      echo "demo: release $(cat "$bin/../share/vorla/version") runs; close its window to end the demo"
      while [ -n "$(installed_binding_pids)" ]; do sleep 1; done
      sleep 2
    done
  fi
  report_installer
  exit 0
fi

# Without a display: an Xvfb of our own, the user's steps typed with xdotool,
# a screenshot at each stage.
shots=$demo/screenshots-$(date +%Y%m%d-%H%M%S)
mkdir -p "$shots"
export QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu
fifo=$(mktemp -u "$demo/tmp/display.XXXXXX")
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb_pid=$!
number=""
read -r -t 30 number <"$fifo"
rm -f "$fifo"
[ -n "$number" ] || { echo "demo: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$number

shot() {  # name
  import -window root "$shots/$1.png" && echo "demo: screenshot $shots/$1.png"
}
# The first visible window titled exactly $1, waiting up to $2 seconds.
window() {
  timeout "$2" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n1
}
# What a window manager sends for the close box.
close_request() {
  python3 - "$1" <<'PY'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
display = x.XOpenDisplay(None)
window = int(sys.argv[1])
event = ClientMessage(type=33, display=display, window=window, format=32,
                      message_type=x.XInternAtom(display, b"WM_PROTOCOLS", 0))
event.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
x.XCloseDisplay(display)
PY
}
# Types a key into a window until a window titled $3 shows, 5 times at most.
type_until() {  # window key title
  local attempt found=""
  for attempt in 1 2 3 4 5; do
    xdotool windowfocus --sync "$1" key "$2" 2>/dev/null
    found=$(window "$3" 4) && [ -n "$found" ] && { echo "$found"; return 0; }
  done
  return 1
}

"$bin/binding" > "$demo/binding.log" 2>&1 &
binding_pid=$!
main=$(window Vorla 30)
[ -n "$main" ] || { echo "demo: binding showed no window; see $demo/binding.log" >&2; exit 1; }
sleep 0.5
shot 1-update-check

updater_shown=false
case "$manifest" in
  optional | mandatory | update)  # the panel asks or tells: answer as a user who updates
    question=$(timeout 15 bash -c "until w=\$(xdotool search --onlyvisible --name '^Vorla\$' | grep -vx '$main' | head -n1); [ -n \"\$w\" ]; do sleep 0.2; done; echo \$w")
    [ -n "$question" ] && { shot 2-update-question; xdotool windowfocus --sync "$question" key Return 2>/dev/null; } ;;
esac
case "$manifest" in
  optional | mandatory | silent | update)
    wait "$binding_pid"
    binding_pid="" ;;
  *)
    page=$(window "Vorla (Sign-in|Workspace)" 60)
    [ -n "$page" ] || { echo "demo: the sign-in page did not load; see $demo/binding.log" >&2; exit 1; }
    sleep 2
    if [ "$(xdotool getwindowname "$page")" = "Vorla Sign-in" ]; then
      shot 2-sign-in
      page=$(type_until "$page" Return "Vorla Workspace") ||
        { echo "demo: signing in did not reach the signed-in page" >&2; exit 1; }
      sleep 2
    fi
    shot 3-signed-in
    # The window's own keys: the page two zoom steps up, then the find bar on
    # a word of it; both undone, so the next run opens as before.
    xdotool windowfocus --sync "$page" key ctrl+plus ctrl+plus 2>/dev/null
    sleep 1
    shot 3a-zoomed-page
    xdotool key ctrl+f 2>/dev/null
    sleep 0.5
    xdotool type --delay 50 signed 2>/dev/null
    sleep 1
    shot 3b-find-bar
    xdotool key Escape ctrl+0 2>/dev/null
    sleep 0.5
    close_request "$page"
    question=$(timeout 10 bash -c "until w=\$(xdotool search --onlyvisible --name '^Vorla\$' | head -n1); [ -n \"\$w\" ]; do sleep 0.2; done; echo \$w")
    if [ -n "$question" ]; then
      sleep 0.5
      shot 4-exit-question
      xdotool windowfocus --sync "$question" key Return 2>/dev/null
    fi
    if ! timeout 20 tail --pid="$binding_pid" -f /dev/null; then
      echo "demo: binding did not end after the exit question" >&2
      exit 1
    fi
    wait "$binding_pid"
    binding_pid=""
    # No update is due: the updater is started by hand to show it too.
    "$bin/upgrade" -vorla > "$demo/upgrade.log" 2>&1 & ;;
esac

updater=$(window "升级" 20)
if [ -n "$updater" ]; then
  sleep 5  # the manifest takes ~2 s here, the installer ~5 s more at 64 KiB/s: the bar is part way
  shot 5-updater-downloading
  updater_shown=true
  for _ in $(seq 60); do [ -z "$(updater_pids)" ] && break; sleep 1; done
fi
$updater_shown || echo "demo: the updater's window did not show" >&2
if [ -n "$release_dir" ]; then
  # The installer put the new release in place and started it.
  page=$(window "Vorla (Sign-in|Workspace)" 60)
  if [ -n "$page" ]; then
    sleep 2
    # A note beside the window says which release it is, for the screenshot.
    running="release $(cat "$bin/../share/vorla/version") is installed and runs (pid $(installed_binding_pids | head -n1))"
    xmessage -geometry +800+40 "After the update:"$'\n'"$running" 2>/dev/null &
    note_pid=$!
    sleep 1
    shot 6-new-release-running
    kill "$note_pid" 2>/dev/null
    echo "demo: $running"
  else
    echo "demo: the new release did not start" >&2
  fi
fi
report_installer
echo "demo: screenshots are in $shots"
