#!/usr/bin/env bash
# The updater end to end against curl: a 1 GiB installer served on loopback,
# `upgrade -vorla` (window, manifest, download, start of an installer that
# exits at once) and `curl -s -o` of the same URL, alternating.
# Prints each run, the medians of wall time, CPU time and peak RSS, and the ratios,
# for a manifest without <sha256> and for one with it (the updater then hashes
# the installer as it arrives), and with "signed" for a signed manifest and the
# updater built with the tests' key (upgrade_signed: it checks the signature,
# then the digest as the installer arrives); each pass alternates with curl runs
# of its own.
# Usage: bench/upgrade_download.sh [runs] [--tag none|sha256|signed|both|all]   (default 9 runs, both)
set -euo pipefail
cd "$(dirname "$0")/.."
args=("$@")  # kept whole for the re-run under a virtual display
runs=9
tags="none sha256"
while [ $# -gt 0 ]; do
  case $1 in
    --tag) case ${2:-} in none|sha256|signed) tags=$2 ;; both) tags="none sha256" ;; all) tags="none sha256 signed" ;;
             *) echo "--tag none|sha256|signed|both|all"; exit 2 ;; esac; shift 2 ;;
    *) runs=$1; shift ;;
  esac
done
bin=$PWD/build/bin
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default -j2 --target upgrade upgrade_signed vorla-test-server >/dev/null
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "${args[@]}"
fi

work=$(mktemp -d /var/tmp/vorla-bench.XXXXXX)
TMPDIR=$work/tmp
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work" "$TMPDIR"
}
trap cleanup EXIT

# The installer: a script that exits at once, padded to 1 GiB.
printf '#!/bin/sh\nexit 0\n' > "$work/setup.bin"
truncate -s 1G "$work/setup.bin"
url="<url>http://www.vorla.example/dl/setup.bin</url>"
echo "<update>$url</update>" > "$work/update-none.xml"
digest=$(sha256sum "$work/setup.bin" | cut -d' ' -f1)
echo "<update>$url<sha256>$digest</sha256></update>" > "$work/update-sha256.xml"
printf '3.0.1.0\n%s' "$digest" > "$work/signed"
signature=$(openssl pkeyutl -sign -rawin -inkey build/test-keys/update-key.pem -in "$work/signed" | base64 -w0)
echo "<update><version>3.0.1.0</version>$url<sha256>$digest</sha256><signature>$signature</signature></update>" \
  > "$work/update-signed.xml"
cp "$work/update-none.xml" "$work/update.xml"  # served as it stands at each request
"$bin/vorla-test-server" --port-file "$work/port" --max-seconds 1800 \
  --route /pcupdate/update.xml="$work/update.xml" --route /dl/setup.bin="$work/setup.bin" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
export http_proxy="http://127.0.0.1:$(cat "$work/port")"
unset no_proxy NO_PROXY
# Downloads land in memory (when /dev/shm is there) so that disk write-back
# does not swamp the difference being measured.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR=$(mktemp -d /dev/shm/vorla-bench.XXXXXX)
else
  TMPDIR=$work/tmp
  mkdir -p "$TMPDIR"
fi
export TMPDIR

measure() {  # label command... ; appends "wall cpu rss_kib" to $work/label.$tag
  local label=$1; shift
  rm -f "$TMPDIR/vorlax.exe" "$TMPDIR/curl.out"
  sync
  /usr/bin/time -f "%e %U %S %M" -o "$work/one" "$@" >/dev/null 2>&1
  read -r wall user sys rss < "$work/one"
  cpu=$(echo "$user + $sys" | bc -l)
  echo "$wall $cpu $rss" >> "$work/$label.$tag"
  printf '%-8s wall %6.2f s  cpu %6.2f s  peak rss %7.1f MiB\n' "$label" "$wall" "$cpu" "$(echo "$rss / 1024" | bc -l)"
}

# One run of each first, not counted: the first start of a Qt program after a
# build pays for cold font and library caches.
tag=none
measure warmup "$bin/upgrade" -vorla >/dev/null
measure warmup curl -s -o "$TMPDIR/curl.out" "http://www.vorla.example/dl/setup.bin" >/dev/null

for tag in $tags; do
  cp "$work/update-$tag.xml" "$work/update.xml"
  echo "-- manifest: $tag"
  program=$bin/upgrade
  [ "$tag" = signed ] && program=$bin/upgrade_signed
  for i in $(seq "$runs"); do
    measure upgrade "$program" -vorla
    [ "$(stat -c %s "$TMPDIR/vorlax.exe" 2>/dev/null || echo 0)" -eq 1073741824 ] || { echo "upgrade did not download the whole installer"; exit 1; }
    measure curl curl -s -o "$TMPDIR/curl.out" "http://www.vorla.example/dl/setup.bin"
  done
done

median() {  # file column
  sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
for tag in $tags; do
  echo
  echo "manifest: $tag"
  printf '%-8s %12s %12s %16s\n' "" "median wall" "median cpu" "median peak rss"
  for label in upgrade curl; do
    printf '%-8s %10.2f s %10.2f s %12.1f MiB\n' "$label" "$(median "$work/$label.$tag" 1)" "$(median "$work/$label.$tag" 2)" \
      "$(echo "$(median "$work/$label.$tag" 3) / 1024" | bc -l)"
  done
  ratio() { echo "$(median "$work/upgrade.$tag" "$1") / $(median "$work/curl.$tag" "$1")" | bc -l; }
  printf 'ratio upgrade/curl: wall %.3f (target <= 1.10), cpu %.3f, peak rss %.2f\n' "$(ratio 1)" "$(ratio 2)" "$(ratio 3)"
  printf 'upgrade peak rss %.1f MiB (target <= 60 MiB)\n' "$(echo "$(median "$work/upgrade.$tag" 3) / 1024" | bc -l)"
done
