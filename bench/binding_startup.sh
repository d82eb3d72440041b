#!/usr/bin/env bash
# binding's cold start against Debian's `chromium --app=URL` on the same page:
# from the launch to the sign-in page's load event (the page asks a loopback
# server for a marker, which the server times), and the total memory (PSS
# summed over every process of each session) 5 s after the load. Both run without
# sandbox and GPU, alternating, RUNS runs each, with an existing profile and
# with a fresh one. binding is also run as a variant that leaves web content
# out of the accessibility tree, to show what exposing it costs.
# Targets: binding's median time at most 0.85 x chromium's, memory at most 0.75 x.
# Usage: bench/binding_startup.sh [RUNS]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
bin=$PWD/build/bin
if ! command -v chromium >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends chromium
fi
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default -j2 --target binding binding_no_accessibility >/dev/null
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

work=$(mktemp -d /var/tmp/vorla-startup.XXXXXX)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 bench/signin_server.py "$work/port" "$work/markers" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
proxy="http://127.0.0.1:$(cat "$work/port")"
touch "$work/markers"
url="http://app.vorla.example/signin"
export QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu
unset no_proxy NO_PROXY

# PSS of every process in the session the run started, in KiB. The session,
# not the parent links: a renderer forked by a zygote may be re-parented.
session_pss() {
  local total=0 pid kib
  for pid in $(pgrep -s "$1"); do
    kib=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || true)
    total=$((total + ${kib:-0}))
  done
  echo "$total"
}

# 1 when a process outside the session maps `pattern` (the engine's library,
# chromium's binary): the machine is shared, and pages shared with another
# user's processes lower this run's PSS.
shared_elsewhere() {  # session pattern
  local maps pid
  for maps in /proc/[0-9]*/maps; do
    pid=${maps#/proc/}; pid=${pid%/maps}
    grep -qsF "$2" "$maps" || continue
    [ "$(ps -o sid= -p "$pid" 2>/dev/null | tr -d ' ')" = "$1" ] || { echo 1; return; }
  done
  echo 0
}

# One run: launch, wait for the page's marker, wait 5 s, sum PSS, end the
# whole session. Appends "ms kib" to $work/<label>.
measure() {  # label profile_dir command...
  local label=$1 profile=$2; shift 2
  local before start pid now marker ms pss shared
  before=$(wc -l < "$work/markers")
  start=$(date +%s%N)
  HOME=$profile/home XDG_DATA_HOME=$profile/data XDG_CONFIG_HOME=$profile/config XDG_CACHE_HOME=$profile/cache \
    http_proxy=$proxy setsid "$@" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    [ "$(wc -l < "$work/markers")" -gt "$before" ] && break
    sleep 0.05
  done
  marker=$(sed -n "$((before + 1))p" "$work/markers")
  if [ -z "$marker" ]; then
    echo "$label: the page did not load within 30 s" >&2
    kill -- -"$pid" 2>/dev/null || true
    return 1
  fi
  ms=$(( (marker - start) / 1000000 ))
  sleep 5
  pss=$(session_pss "$pid")
  local library=libQt6WebEngineCore.so
  [[ $label == chromium* ]] && library=/usr/lib/chromium/chromium
  shared=$(shared_elsewhere "$pid" "$library")
  # The whole session must be gone before the next run: a lingering process
  # would share its pages with the next one and lower that one's PSS.
  kill -- -"$pid" 2>/dev/null || true
  for _ in $(seq 100); do pgrep -s "$pid" >/dev/null || break; sleep 0.1; done
  kill -KILL -- -"$pid" 2>/dev/null || true
  for _ in $(seq 50); do pgrep -s "$pid" >/dev/null || break; sleep 0.1; done
  wait "$pid" 2>/dev/null || true
  echo "$ms $pss $shared" >> "$work/$label"
  printf '%-28s %6d ms  %7.1f MiB%s\n' "$label" "$ms" "$(echo "$pss / 1024" | bc -l)" \
    "$([ "$shared" = 1 ] && echo '  (engine pages shared with another program: PSS too low)')"
}

chromium_run() {  # profile_dir
  chromium --app="$url" --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --proxy-server="$proxy" --user-data-dir="$1/chromium"
}
export -f chromium_run
export url proxy

fresh() { local d; d=$(mktemp -d "$work/profile.XXXXXX"); mkdir -p "$d/home" "$d/data"; echo "$d"; }
existing_binding=$(fresh)
existing_variant=$(fresh)
existing_chromium=$(fresh)

# Not counted: the first start after a build pays for cold caches, and the
# existing profiles are made here.
measure warmup "$existing_binding" "$bin/binding" >/dev/null
measure warmup "$existing_variant" "$bin/binding_no_accessibility" >/dev/null
measure warmup "$existing_chromium" bash -c 'chromium_run "$0"' "$existing_chromium" >/dev/null

for i in $(seq "$runs"); do
  measure "binding existing" "$existing_binding" "$bin/binding"
  measure "chromium existing" "$existing_chromium" bash -c 'chromium_run "$0"' "$existing_chromium"
  measure "binding-no-a11y existing" "$existing_variant" "$bin/binding_no_accessibility"
  d=$(fresh); measure "binding fresh" "$d" "$bin/binding"; rm -rf "$d"
  d=$(fresh); measure "chromium fresh" "$d" bash -c 'chromium_run "$0"' "$d"; rm -rf "$d"
  d=$(fresh); measure "binding-no-a11y fresh" "$d" "$bin/binding_no_accessibility"; rm -rf "$d"
done

median() {  # file column; the memory column only over runs that shared nothing, when there are any
  local rows
  rows=$(cat "$1")
  if [ "$2" = 2 ] && grep -q ' 0$' "$1"; then rows=$(grep ' 0$' "$1"); fi
  echo "$rows" | cut -d' ' -f"$2" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo
for profile in existing fresh; do
  bt=$(median "$work/binding $profile" 1); bm=$(median "$work/binding $profile" 2)
  ct=$(median "$work/chromium $profile" 1); cm=$(median "$work/chromium $profile" 2)
  vt=$(median "$work/binding-no-a11y $profile" 1); vm=$(median "$work/binding-no-a11y $profile" 2)
  printf '%-8s profile: binding %6.0f ms %7.1f MiB | chromium %6.0f ms %7.1f MiB | time %.2f (target <= 0.85), memory %.2f (target <= 0.75)\n' \
    "$profile" "$bt" "$(echo "$bm / 1024" | bc -l)" "$ct" "$(echo "$cm / 1024" | bc -l)" \
    "$(echo "$bt / $ct" | bc -l)" "$(echo "$bm / $cm" | bc -l)"
  printf '%-8s profile: accessibility exposed vs not: time %.2f, memory %.2f (binding-no-a11y %.0f ms %.1f MiB)\n' \
    "$profile" "$(echo "$bt / $vt" | bc -l)" "$(echo "$bm / $vm" | bc -l)" "$vt" "$(echo "$vm / 1024" | bc -l)"
done
