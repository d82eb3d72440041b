#!/usr/bin/env bash
# Builds one release from this checkout and writes what the vendor publishes:
#
#   bash scripts/release.sh VERSION OUTDIR [--url-base URL] [--web-version TEXT]
#                           [--update-type N]
#
#   OUTDIR/vorla_VERSION_amd64.deb   the Debian package
#   OUTDIR/vorla-VERSION.run         the installer: one self-extracting file that
#                                    checks its payload before it unpacks it
#   OUTDIR/update.xml                the update manifest naming that installer
#
# VERSION is four numbers (3.0.1.0). The manifest's <url> is URL + the
# installer's name (default http://<vendor host>/download/); <webversion> is
# the text given, else VERSION; <updatetype> is N, else 0. The build (Release,
# no tests) goes to build-release/VERSION, or to $VORLA_RELEASE_BUILD_DIR;
# VORLA_VENDOR_HOST and VORLA_SERVICE_HOST, when set, are its built-in hosts.
# Two runs for the same version and checkout write the same files.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  echo "usage: bash scripts/release.sh VERSION OUTDIR [--url-base URL] [--web-version TEXT] [--update-type N]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
version=$1
outdir=$2
shift 2
url_base=""
web_version=$version
update_type=0
while [ $# -gt 0 ]; do
  case $1 in
    --url-base) url_base=${2:?}; shift 2 ;;
    --web-version) web_version=${2?}; shift 2 ;;
    --update-type) update_type=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "release: VERSION must be four numbers a.b.c.d" >&2; exit 2; }
# Manifest values are read byte for byte, up to the first closing tag.
case $web_version in *"<"*) echo "release: the web version may not hold '<'" >&2; exit 2 ;; esac
[ ${#web_version} -le 100 ] || { echo "release: the web version is longer than 100 bytes" >&2; exit 2; }

bash scripts/install-deps.sh >/dev/null || { echo "release: the dependency install failed" >&2; exit 1; }
command -v makeself >/dev/null || { echo "release: makeself is missing" >&2; exit 1; }

build=${VORLA_RELEASE_BUILD_DIR:-$root/build-release/$version}
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
# Every time stamp in what is published is the checkout's, so that the same
# checkout gives the same bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}

hosts=()
[ -n "${VORLA_VENDOR_HOST:-}" ] && hosts+=(-DVORLA_VENDOR_HOST="$VORLA_VENDOR_HOST")
[ -n "${VORLA_SERVICE_HOST:-}" ] && hosts+=(-DVORLA_SERVICE_HOST="$VORLA_SERVICE_HOST")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DVORLA_RELEASE_VERSION="$version" "${hosts[@]}" >/dev/null
cmake --build "$build" -j2 --target binding upgrade
vendor_host=$(sed -n 's/^VORLA_VENDOR_HOST:STRING=//p' "$build/CMakeCache.txt")
[ -n "$url_base" ] || url_base="http://$vendor_host/download/"

# The package, with the checkout's time on every file.
(cd "$build" && cpack -G DEB >/dev/null)
deb=vorla_${version}_amd64.deb
[ -f "$build/$deb" ] || { echo "release: cpack made no $deb" >&2; exit 1; }
work=$build/release-work
rm -rf "$work"
mkdir -p "$work/vorla-$version"
normalise_deb() {  # in out: the same members, every time stamp the checkout's
  local tmp=$work/deb
  rm -rf "$tmp" && mkdir -p "$tmp/root"
  (cd "$tmp" && ar x "$1")
  mkdir -p "$tmp/control" "$tmp/data"
  tar -xf "$tmp"/control.tar.* -C "$tmp/control"
  tar -xf "$tmp"/data.tar.* -C "$tmp/data"
  local tarflags=(--sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --format=gnu)
  (cd "$tmp/control" && tar "${tarflags[@]}" -cf - . | gzip -9n >"$tmp/control.tar.gz")
  (cd "$tmp/data" && tar "${tarflags[@]}" -cf - . | gzip -9n >"$tmp/data.tar.gz")
  printf '2.0\n' >"$tmp/debian-binary"
  touch -d "@$SOURCE_DATE_EPOCH" "$tmp/debian-binary" "$tmp/control.tar.gz" "$tmp/data.tar.gz"
  rm -f "$2"
  (cd "$tmp" && ar -D -rc "$2" debian-binary control.tar.gz data.tar.gz)
}
normalise_deb "$build/$deb" "$outdir/$deb"
dpkg-deb --info "$outdir/$deb" >/dev/null || { echo "release: the package does not read back" >&2; exit 1; }

# The installer: the package and the script that installs it, in makeself's
# archive. Its header is makeself's own, told to show a damaged payload in a
# window as well as on the terminal (nobody sees the terminal of an update).
payload=$work/vorla-$version
cp "$outdir/$deb" "$payload/"
cp "$root/packaging/installer/install.sh" "$payload/install.sh"
chmod 0755 "$payload/install.sh"
printf '%s\n' "$version" >"$payload/version"
header=$work/header.sh
bash "$root/packaging/installer/make-header.sh" /usr/share/makeself/makeself-header.sh "$version" >"$header"
installer=vorla-$version.run
# The archive quotes makeself's command line: only names relative to $work in it.
(cd "$work" && makeself --quiet --nox11 --xz --sha256 --header ./header.sh --packaging-date "@$SOURCE_DATE_EPOCH" \
  --tar-extra "--sort=name --mtime=@$SOURCE_DATE_EPOCH --owner=0 --group=0 --numeric-owner" \
  "vorla-$version" "$installer" "Vorla $version" ./install.sh >/dev/null)
mv -f "$work/$installer" "$outdir/$installer"
chmod 0755 "$outdir/$installer"

digest=$(sha256sum "$outdir/$installer" | cut -d' ' -f1)
cat >"$outdir/update.xml" <<EOF
<update>
  <version>$version</version>
  <webversion>$web_version</webversion>
  <updatetype>$update_type</updatetype>
  <url>${url_base%/}/$installer</url>
  <sha256>$digest</sha256>
</update>
EOF
echo "release: $outdir/$deb, $outdir/$installer, $outdir/update.xml"
