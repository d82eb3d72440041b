#!/usr/bin/env bash
# binding's start when the web version has changed and the cache must be
# emptied of FILES files of 4 KiB (100 folders of FILES/100), against a start
# with nothing to purge, both on the same existing profile: from the launch to
# the sign-in page's load event (the page asks a loopback server for a marker,
# which the server times). Per cache size one warm-up pair, then RUNS pairs,
# alternating which goes first; the medians and their ratio.
# Target: the purging start at most 1.10 x the other, at every size.
# Usage: bench/cache_purge_startup.sh [RUNS] [FILES...]   (default 3, 50000 200000)
#        BINDING=/path/to/binding bench/cache_purge_startup.sh   (another build)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
shift $(($# > 0 ? 1 : 0))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(50000 200000)
mapfile -t sizes < <(printf "%s\n" "${sizes[@]}" | sort -n)  # the stock only grows
if [ -z "${BINDING:-}" ]; then
  [ -f build/build.ninja ] || cmake --preset default >/dev/null
  cmake --build --preset default -j2 --target binding >/dev/null
  BINDING=$PWD/build/bin/binding
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" env BINDING="$BINDING" "$0" "$runs" "${sizes[@]}"
fi

# The cache's own file system, where the purge renames and deletes.
work=$(mktemp -d /var/tmp/vorla-purge-startup.XXXXXX)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 bench/signin_server.py "$work/port" "$work/markers" 2>/dev/null &  # a killed session resets its connections
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
proxy="http://127.0.0.1:$(cat "$work/port")"
touch "$work/markers"
export QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu
unset no_proxy NO_PROXY
profile=$work/profile
data=$profile/data/vorla
mkdir -p "$profile/home" "$data"

# Files a purge moved aside, kept for the next purge to put back: on a disk
# mounted with discard, creating and deleting 200,000 files anew for every run
# would take many minutes.
stock=$work/stock

# One start: launch, wait for the page's marker, end the whole session, and
# take away what the killed start left moved aside, so the next start finds
# none. Appends the milliseconds to $work/<label>.
measure() {  # label
  local label=$1 before start pid marker
  before=$(wc -l < "$work/markers")
  start=$(date +%s%N)
  HOME=$profile/home XDG_DATA_HOME=$profile/data XDG_CONFIG_HOME=$profile/config XDG_CACHE_HOME=$profile/xdg-cache \
    http_proxy=$proxy setsid "$BINDING" >/dev/null 2>&1 &
  pid=$!
  # Bounded, but generous: on a disk mounted with discard, emptying 200,000
  # files in place may take minutes.
  local deadline=$((SECONDS + 600))
  while [ "$(wc -l < "$work/markers")" -le "$before" ] && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.05
  done
  marker=$(sed -n "$((before + 1))p" "$work/markers")
  kill -- -"$pid" 2>/dev/null || true
  for _ in $(seq 100); do pgrep -s "$pid" >/dev/null || break; sleep 0.1; done
  kill -KILL -- -"$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local old
  for old in "$data"/cache.old-*; do
    [ -e "$old" ] || continue
    [ -d "$old/planted" ] && [ ! -e "$stock" ] && mv "$old/planted" "$stock"
    rm -rf "$old"
  done
  sync
  [ -n "$marker" ] || { echo "$label: the page did not load within 10 min" >&2; return 1; }
  echo $(((marker - start) / 1000000)) >> "$work/$label"
  printf '%-26s %6d ms\n' "$label" $(((marker - start) / 1000000))
}

nothing_to_purge() { measure "$1 nothing to purge"; }
purge() {  # files
  rm -rf "$data/cache/planted"  # at most the folders an earlier purge kept
  [ -d "$stock" ] && mv "$stock" "$data/cache/planted"
  python3 - "$data/cache/planted" "$1" <<'PY'
import os, sys
root, files = sys.argv[1], int(sys.argv[2])
block = b"x" * 4096
for n in range(files):
    folder = os.path.join(root, f"{n % 100:02d}")
    if n < 100:
        os.makedirs(folder, exist_ok=True)
    try:  # what the stock lacks
        fd = os.open(os.path.join(folder, f"f_{n:06d}"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        continue
    os.write(fd, block)
    os.close(fd)
PY
  printf 'w0' > "$data/webversion"  # the server publishes w1
  sync
  measure "$1 purged"
}

echo "binding: $BINDING"
measure "first start" >/dev/null  # the profile: cache, cookies, web version w1
for files in "${sizes[@]}"; do
  nothing_to_purge "$files" >/dev/null; purge "$files" >/dev/null  # warm-up, not counted
  rm -f "$work/$files nothing to purge" "$work/$files purged"
  for i in $(seq "$runs"); do
    if ((i % 2)); then nothing_to_purge "$files"; purge "$files"; else purge "$files"; nothing_to_purge "$files"; fi
  done
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo
for files in "${sizes[@]}"; do
  base=$(median "$work/$files nothing to purge")
  purged=$(median "$work/$files purged")
  ratio=$(echo "$purged / $base" | bc -l)
  printf '%7d files: purged %6.0f ms | nothing to purge %6.0f ms | ratio %.2f (target <= 1.10: %s)\n' \
    "$files" "$purged" "$base" "$ratio" "$(echo "$ratio <= 1.10" | bc -l | sed 's/1/met/;s/0/NOT met/')"
done
