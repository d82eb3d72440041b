#!/usr/bin/env bash
# Emptying a browser cache of 50,000 files in nested folders: DeleteFolderFiles
# (bench/purge_main.cpp) against `find DIR -type f -delete` on identical trees,
# alternating which goes first, RUNS runs each. Prints every run's seconds, the
# medians and their ratio; the target is a ratio of at most 1.2.
# Usage: bench/delete_folder_files.sh [RUNS]   (trees go to $TMPDIR, else /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default -j2 --target purge_bench >/dev/null
purge=$PWD/build/bin/purge_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/purge-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# 10 x 10 x 10 folders, 50 files of 1 to 4 KiB in each leaf: 50,000 files.
make_tree() {
  python3 - "$1" <<'PY'
import os, sys
root = sys.argv[1]
for a in range(10):
    for b in range(10):
        for c in range(10):
            leaf = os.path.join(root, f"{a:02x}", f"{b:02x}", f"{c:02x}")
            os.makedirs(leaf)
            for f in range(50):
                with open(os.path.join(leaf, f"f_{f:03d}_{a}{b}{c}"), "wb") as out:
                    out.write(b"x" * (1024 * (1 + (a + b + c + f) % 4)))
PY
}

files_left() { find "$1" -type f | wc -l; }

# Seconds the command takes, to the microsecond.
timed() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  python3 -c "print(f'{$end - $start:.3f}')"
}

ours=()
theirs=()
for ((run = 1; run <= runs; run++)); do
  rm -rf "$work/a" "$work/b"
  make_tree "$work/a"
  make_tree "$work/b"
  sync
  if ((run % 2)); then
    o=$(timed "$purge" "$work/a")
    f=$(timed find "$work/b" -type f -delete)
  else
    f=$(timed find "$work/b" -type f -delete)
    o=$(timed "$purge" "$work/a")
  fi
  [ "$(files_left "$work/a")" -eq 0 ] && [ "$(files_left "$work/b")" -eq 0 ] ||
    { echo "run $run: files left behind" >&2; exit 1; }
  [ "$(find "$work/a" -type d | wc -l)" -eq "$(find "$work/b" -type d | wc -l)" ] ||
    { echo "run $run: folders differ" >&2; exit 1; }
  ours+=("$o")
  theirs+=("$f")
  echo "run $run: DeleteFolderFiles ${o} s   find -delete ${f} s"
done

python3 - "${ours[*]}" "${theirs[*]}" <<'PY'
import statistics, sys
ours = [float(x) for x in sys.argv[1].split()]
theirs = [float(x) for x in sys.argv[2].split()]
mo, mt = statistics.median(ours), statistics.median(theirs)
print(f"median: DeleteFolderFiles {mo:.3f} s   find -delete {mt:.3f} s")
print(f"ratio (DeleteFolderFiles / find): {mo / mt:.2f}   target <= 1.20: {'met' if mo / mt <= 1.2 else 'NOT met'}")
PY
