#!/usr/bin/env bash
# Runs the whole default-preset suite again on Debian 13 (Qt 6.8), and installs
# the Debian 12 release's package and installer there:
#
#   bash scripts/test-debian13.sh [RELEASE_DIR]
#
# A Debian 13 root is made with debootstrap from the package mirror this
# machine's apt already uses, under build/debian13/ (nothing is kept anywhere
# else), and entered in a mount namespace of its own through pivot_root, so
# that user namespaces (the engine's sandbox, the installer's tests) work as
# on a real system; its mounts end with it. There the project's own
# scripts/install-deps.sh installs the dependencies, and a copy of this
# checkout is built and tested. With RELEASE_DIR (scripts/release.sh's output,
# made on this machine) a second, fresh root installs its .deb with apt and
# runs the installed binding against the demo site to the signed-in page, and
# runs its installer as a user. Ends with "Debian 13 tests: N passed, N failed".
# Exit status 0: all passed; 1: a failure; 2: this machine cannot make the
# root (not root, no debootstrap or unshare, no mirror), nothing was run.
set -uo pipefail
cd "$(dirname "$0")/.."
src=$PWD
release_dir=${1:-}
work=$src/build/debian13
base=$work/base
suite=$work/suite
package=$work/package

cannot() {
  echo "test-debian13: $*; the Debian 13 tests are skipped" >&2
  exit 2
}
[ "$(id -u)" -eq 0 ] || cannot "making a Debian 13 root needs root"
command -v debootstrap >/dev/null || cannot "debootstrap is not installed"
command -v unshare >/dev/null || cannot "unshare is not installed"
[ -e /usr/share/debootstrap/scripts/trixie ] || cannot "this debootstrap does not know trixie"
# The first Debian mirror the machine's apt sources name (deb822 or one-line).
mirror=$(
  { cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ { print $2 }'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; break } }'
  } | grep -v -- '-security' | grep -m1 '/debian/*$'
)
[ -n "$mirror" ] || cannot "no Debian mirror found in the apt sources"

# Runs a command as root inside ROOT: a private mount namespace and PID
# namespace, so every mount and process made there ends with it.
in_root() {  # ROOT COMMAND...
  local root=$1
  shift
  unshare --mount --pid --fork --propagation private bash -c '
    set -e
    root=$1; shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mkdir -p "$root/.old-root"
    cd "$root"
    pivot_root . .old-root
    umount -l /.old-root
    rmdir /.old-root
    cd /
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb "$@"
  ' in-root "$root" "$@"
}

# A root's package service start-ups are refused: nginx would take port 80 of
# this machine, the network being shared. A root is thrown away rather than
# repaired, so dpkg need not sync every file it writes.
prepare_root() {  # ROOT
  printf '#!/bin/sh\nexit 101\n' >"$1/usr/sbin/policy-rc.d"
  chmod 755 "$1/usr/sbin/policy-rc.d"
  echo force-unsafe-io >"$1/etc/dpkg/dpkg.cfg.d/unsafe-io"
  cp /etc/resolv.conf "$1/etc/resolv.conf" 2>/dev/null || true
}

start=$(date +%s)
if [ ! -e "$base/.complete" ]; then
  rm -rf "$base"
  mkdir -p "$work"
  echo "test-debian13: making a Debian 13 root (debootstrap --variant=minbase trixie)"
  debootstrap --variant=minbase trixie "$base" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; echo "test-debian13: debootstrap failed" >&2; exit 1; }
  prepare_root "$base"
  touch "$base/.complete"
fi
echo "test-debian13: root ready after $(( $(date +%s) - start )) s"

passed=0
failed=0
status=0

# The suite: the root is kept between runs (its packages and build are reused),
# the checkout copied afresh, times kept, so a second run rebuilds what changed.
[ -d "$suite" ] || cp -a "$base" "$suite"
rm -rf "$suite/src"
mkdir -p "$suite/src"
git -C "$src" ls-files -z --cached --others --exclude-standard |
  (cd "$src" && xargs -0 cp --parents -d -p -t "$suite/src" 2>/dev/null)
results=$suite/results
rm -f "$results"
# The build folder lives outside the copied checkout, so it survives the copy.
in_root "$suite" bash -c '
  bash /src/scripts/install-deps.sh || { echo "dependency install failed"; exit 1; }
  mkdir -p /build /src/build && mount --bind /build /src/build
  cd /src
  export CTEST_OUTPUT_ON_FAILURE=1
  unset DISPLAY WAYLAND_DISPLAY
  cmake --preset default >/dev/null && cmake --build --preset default -j2 || exit 1
  log=$(mktemp)
  ctest --preset default -j2 --timeout 600 2>&1 | tee "$log"
  total=$(sed -n "s/.*tests failed out of \([0-9]*\).*/\1/p" "$log" | tail -n1)
  fails=$(sed -n "s/.* \([0-9]*\) tests failed out of.*/\1/p" "$log" | tail -n1)
  echo "${total:-0} ${fails:-0}" >/results
' 2>&1 | sed -u 's/^/[debian13] /'
if [ -s "$results" ]; then
  read -r total fails <"$results"
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  [ "$total" -gt 0 ] && [ "$fails" -eq 0 ] || status=1
else
  echo "test-debian13: the suite did not build or run" >&2
  failed=$((failed + 1))
  status=1
fi
echo "test-debian13: suite done after $(( $(date +%s) - start )) s"

# The Debian 12 release on a fresh Debian 13.
if [ -n "$release_dir" ] && ! ls "$release_dir"/vorla_*_amd64.deb "$release_dir"/vorla-*.run >/dev/null 2>&1; then
  echo "test-debian13: no release in $release_dir (scripts/release.sh makes one)" >&2
  failed=$((failed + 1))
  status=1
elif [ -n "$release_dir" ]; then
  rm -rf "$package"
  cp -a "$base" "$package"
  mkdir -p "$package/release" "$package/src"
  cp "$release_dir"/vorla_*_amd64.deb "$release_dir"/vorla-*.run "$package/release/"
  cp -a "$src/demo" "$src/packaging/tests/debian13_package_test.sh" "$package/src/"
  if in_root "$package" bash /src/debian13_package_test.sh 2>&1 | sed -u 's/^/[debian13 package] /'; [ "${PIPESTATUS[0]}" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
  rm -rf "$package"
fi

echo "test-debian13: done after $(( $(date +%s) - start )) s"
echo "Debian 13 tests: $passed passed, $failed failed"
exit $status
