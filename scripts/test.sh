#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite, each
# windowed test on an Xvfb display of its own, then the tests that need no browser engine again under ASan + UBSan,
# then the whole suite again on Debian 13 (scripts/test-debian13.sh; skipped where the machine cannot make its root).
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || { echo "dependency install failed"; exit 1; }

export CTEST_OUTPUT_ON_FAILURE=1
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/cmake/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The tests reach loopback servers only; a proxy from the caller's environment
# would send them elsewhere. Windowed tests start an X display each; none may
# borrow the caller's.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY
unset DISPLAY WAYLAND_DISPLAY

passed=0
failed=0
run_suite() {  # preset
  local preset=$1 log
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" -j2 || return 1
  log=$(mktemp)
  ctest --preset "$preset" -j2 --timeout 600 2>&1 | tee "$log"
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n1)
  rm -f "$log"
  [ -n "$total" ] || return 1
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  [ "$fails" -eq 0 ]
}

# Debian 13 (Qt 6.8): the default suite again in a Debian 13 root, and the
# release the default suite made here installed there. Skipped, and said so,
# where this machine cannot make the root.
run_debian13() {
  local log rc counts
  log=$(mktemp)
  bash scripts/test-debian13.sh "$PWD/build/release-test/out" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  counts=$(sed -n 's/^Debian 13 tests: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log" | tail -n1)
  rm -f "$log"
  if [ "$rc" -eq 2 ]; then
    echo "Debian 13 tests skipped: this machine cannot make a Debian 13 root (see above)"
    return 0
  fi
  if [ -n "$counts" ]; then
    passed=$((passed + ${counts% *}))
    failed=$((failed + ${counts#* }))
  else
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ]
}

status=0
run_suite default || status=1
run_suite asan || status=1
run_debian13 || status=1
echo
echo "Tests: $passed passed, $failed failed"
[ $status -eq 0 ] && [ $failed -eq 0 ]
