#!/usr/bin/env bash
# Runs a command on an X display of its own, so that keys one windowed test
# types can never land in another test's window when ctest runs them in parallel.
# Xvfb picks a free display number itself (-displayfd): no race between tests.
set -uo pipefail

fifo_dir=$(mktemp -d)
trap 'rm -rf "$fifo_dir"' EXIT
mkfifo "$fifo_dir/display"

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$fifo_dir/display" 2>/dev/null &
xvfb=$!

number=""
# Bounded: Xvfb answers within a second here; give up after 30 s.
if read -r -t 30 number <"$fifo_dir/display" && [ -n "$number" ]; then
  DISPLAY=":$number" "$@"
  status=$?
else
  echo "own-display: Xvfb did not start" >&2
  status=1
fi
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit $status
