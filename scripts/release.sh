#!/usr/bin/env bash
# Builds one release from this checkout and writes what the vendor publishes:
#
#   bash scripts/release.sh VERSION OUTDIR --key PRIVATE_KEY [--url-base URL]
#                           [--web-version TEXT] [--update-type N]
#   bash scripts/release.sh VERSION OUTDIR --unsigned [...]
#
#   OUTDIR/vorla_VERSION_amd64.deb   the Debian package
#   OUTDIR/vorla-VERSION.run         the installer: one self-extracting file that
#                                    checks its payload before it unpacks it
#   OUTDIR/update.xml                the update manifest naming that installer
#
# VERSION is four numbers (3.0.1.0). The manifest's <url> is URL + the
# installer's name (default http://<vendor host>/download/); <webversion> is
# the text given, else VERSION; <updatetype> is N, else 0. --key (an Ed25519
# private key in PEM) is required: the manifest carries <signature>, the key's
# signature over <version>, a line feed and <sha256>, and the release's
# binding and upgrade trust that key's releases only (the package also holds
# its public half for the system installation's update helper). --unsigned
# makes a release without one, whose every user runs whatever installer a
# network attacker serves; it is refused unless asked for by name. The build (Release,
# no tests) goes to build-release/VERSION, or to $VORLA_RELEASE_BUILD_DIR;
# VORLA_VENDOR_HOST and VORLA_SERVICE_HOST, when set, are its built-in hosts;
# VORLA_SERVICE_SCHEME (http or https), when set, how the service is reached.
# Two runs for the same version and checkout write the same files.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  echo "usage: bash scripts/release.sh VERSION OUTDIR (--key PRIVATE_KEY | --unsigned) [--url-base URL] [--web-version TEXT] [--update-type N]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
version=$1
outdir=$2
shift 2
url_base=""
web_version=$version
update_type=0
key=""
unsigned=""
while [ $# -gt 0 ]; do
  case $1 in
    --url-base) url_base=${2:?}; shift 2 ;;
    --web-version) web_version=${2?}; shift 2 ;;
    --update-type) update_type=${2:?}; shift 2 ;;
    --key) key=${2:?}; shift 2 ;;
    --unsigned) unsigned=1; shift ;;
    *) usage ;;
  esac
done
if [ -z "$key" ] && [ -z "$unsigned" ]; then
  echo "release: no --key: every user of an unsigned release runs whatever installer a network attacker serves;" \
    "sign it with --key PRIVATE_KEY (or ask for an unsigned one with --unsigned)" >&2
  exit 2
fi
[ -z "$key" ] || [ -z "$unsigned" ] || { echo "release: --key and --unsigned exclude each other" >&2; exit 2; }
[ -z "$unsigned" ] ||
  echo "release: WARNING: an unsigned release: its binding and upgrade trust any update manifest, and every" \
    "user of it will run whatever installer a network attacker serves" >&2
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "release: VERSION must be four numbers a.b.c.d" >&2; exit 2; }
# Manifest values are read byte for byte, up to the first closing tag.
case $web_version in *"<"*) echo "release: the web version may not hold '<'" >&2; exit 2 ;; esac
[ ${#web_version} -le 100 ] || { echo "release: the web version is longer than 100 bytes" >&2; exit 2; }

bash scripts/install-deps.sh >/dev/null || { echo "release: the dependency install failed" >&2; exit 1; }
command -v makeself >/dev/null || { echo "release: makeself is missing" >&2; exit 1; }

build=${VORLA_RELEASE_BUILD_DIR:-$root/build-release/$version}
mkdir -p "$outdir" "$build"
public_key=""
if [ -n "$key" ]; then
  openssl pkey -in "$key" -noout -text 2>/dev/null | grep -q ED25519 ||
    { echo "release: $key is no Ed25519 private key in PEM" >&2; exit 2; }
  public_key=$build/update-key.pub.pem
  openssl pkey -in "$key" -pubout -out "$public_key"
fi
outdir=$(cd "$outdir" && pwd)
# Every time stamp in what is published is the checkout's, so that the same
# checkout gives the same bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}

hosts=()
[ -n "${VORLA_VENDOR_HOST:-}" ] && hosts+=(-DVORLA_VENDOR_HOST="$VORLA_VENDOR_HOST")
[ -n "${VORLA_SERVICE_HOST:-}" ] && hosts+=(-DVORLA_SERVICE_HOST="$VORLA_SERVICE_HOST")
[ -n "${VORLA_SERVICE_SCHEME:-}" ] && hosts+=(-DVORLA_SERVICE_SCHEME="$VORLA_SERVICE_SCHEME")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DVORLA_RELEASE_VERSION="$version" -DVORLA_UPDATE_PUBLIC_KEY="$public_key" "${hosts[@]}" >/dev/null
cmake --build "$build" -j2 --target binding upgrade
vendor_host=$(sed -n 's/^VORLA_VENDOR_HOST:STRING=//p' "$build/CMakeCache.txt")
[ -n "$url_base" ] || url_base="http://$vendor_host/download/"

# The package: cpack clamps every time stamp to SOURCE_DATE_EPOCH.
(cd "$build" && cpack -G DEB >/dev/null)
deb=vorla_${version}_amd64.deb
[ -f "$build/$deb" ] || { echo "release: cpack made no $deb" >&2; exit 1; }
work=$build/release-work
rm -rf "$work"
mkdir -p "$work/vorla-$version"
cp -f "$build/$deb" "$outdir/$deb"
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
# --export-conf tells install.sh the archive's own path (MS_BUNDLE), which the
# system installation's helper checks again as root.
(cd "$work" && makeself --quiet --nox11 --export-conf --xz --sha256 --header ./header.sh --packaging-date "@$SOURCE_DATE_EPOCH" \
  --tar-extra "--sort=name --mtime=@$SOURCE_DATE_EPOCH --owner=0 --group=0 --numeric-owner" \
  "vorla-$version" "$installer" "Vorla $version" ./install.sh >/dev/null)
mv -f "$work/$installer" "$outdir/$installer"
chmod 0755 "$outdir/$installer"

digest=$(sha256sum "$outdir/$installer" | cut -d' ' -f1)
signature=""
if [ -n "$key" ]; then
  # Ed25519 over the bytes of both values as the manifest writes them.
  printf '%s\n%s' "$version" "$digest" >"$work/signed"
  signature="
  <signature>$(openssl pkeyutl -sign -rawin -inkey "$key" -in "$work/signed" | base64 -w0)</signature>"
fi
cat >"$outdir/update.xml" <<EOF
<update>
  <version>$version</version>
  <webversion>$web_version</webversion>
  <updatetype>$update_type</updatetype>
  <url>${url_base%/}/$installer</url>
  <sha256>$digest</sha256>$signature
</update>
EOF
echo "release: $outdir/$deb, $outdir/$installer, $outdir/update.xml"
