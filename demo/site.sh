#!/usr/bin/env bash
# Runs the demo site in the foreground: nginx on a loopback port serving the
# vendor's host and the service's host by name, and fcgiwrap for the sign-in
# service. Both run as the invoking user; Ctrl+C, SIGTERM or SIGHUP ends both.
#
#   demo/site.sh [none|optional|mandatory|silent|webversion]
#
# The argument picks the update manifest the vendor's host publishes. Prints
# "http_proxy=http://127.0.0.1:PORT" once the site answers. Environment:
# VORLA_DEMO_PORT (default: a free port), VORLA_VENDOR_HOST and
# VORLA_SERVICE_HOST (default: the built-in hosts), VORLA_DEMO_STATE (a folder
# for logs and sessions; default: a temporary one, removed at the end),
# VORLA_DEMO_MANIFEST_RATE (bytes a second for the manifest; default: no limit),
# VORLA_DEMO_RELEASE (a folder written by scripts/release.sh: its update.xml is
# the manifest, its files are served under /download/).
set -euo pipefail
demo=$(cd "$(dirname "$0")" && pwd)

manifest=${1:-none}
# A release made by scripts/release.sh publishes its own manifest and installer.
release=${VORLA_DEMO_RELEASE:-}
if [ -n "$release" ]; then
  release=$(cd "$release" && pwd)
  manifest_file=$release/update.xml
  manifest=release
else
  manifest_file=$demo/vendor/pcupdate/$manifest.xml
fi
if [ ! -f "$manifest_file" ]; then
  echo "site.sh: unknown manifest '$manifest'; one of: none optional mandatory silent webversion" >&2
  exit 2
fi
for tool in nginx fcgiwrap python3 curl setpriv openssl; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin
  command -v "$tool" >/dev/null || { echo "site.sh: $tool is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
done

vendor_host=${VORLA_VENDOR_HOST:-www.vorla.example}
service_host=${VORLA_SERVICE_HOST:-app.vorla.example}
if [ -n "${VORLA_DEMO_STATE:-}" ]; then
  run=$VORLA_DEMO_STATE
  mkdir -p "$run"
  own_run=false
else
  run=$(mktemp -d "${TMPDIR:-/tmp}/vorla-demo-site.XXXXXX")
  own_run=true
fi
run=$(cd "$run" && pwd)
mkdir -p "$run/sessions" "$run/release"
[ -n "$release" ] || release=$run/release

nginx_pid=""
fcgi_pid=""
stop() {
  trap - EXIT INT TERM HUP
  for pid in $nginx_pid $fcgi_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $nginx_pid $fcgi_pid; do
    wait "$pid" 2>/dev/null || true
  done
  rm -f "$run/fcgiwrap.sock"
  if $own_run; then rm -rf "$run"; fi
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The installer, padded after its last command so that its download takes a
# few seconds at the site's rate and the progress bar is seen moving.
{
  cat "$demo/vendor/download/vorla-setup.sh"
  for _ in $(seq 4000); do echo "# padding: the demo installer's download is sent slowly on purpose ########"; done
} > "$run/vorla-setup.sh"

# The manifests the demo publishes are signed with the demo's own key (never
# a real release's: demo/keys/README.md), over the padded installer's digest.
if [ "$manifest" != release ]; then
  digest=$(sha256sum "$run/vorla-setup.sh" | cut -d' ' -f1)
  version=$(sed -n 's|.*<version>\(.*\)</version>.*|\1|p' "$manifest_file")
  mkdir -p "$run/pcupdate"
  printf '%s\n%s' "$version" "$digest" >"$run/pcupdate/signed"
  signature=$(openssl pkeyutl -sign -rawin -inkey "$demo/keys/demo-only-update-key.pem" -in "$run/pcupdate/signed" |
              base64 -w0)
  sed "s|</update>|  <sha256>$digest</sha256>\n  <signature>$signature</signature>\n</update>|" \
    "$manifest_file" >"$run/pcupdate/update.xml"
  manifest_file=$run/pcupdate/update.xml
fi

# The children die with this script even if it is killed outright. One
# fcgiwrap process (-c 1): preforked ones would outlive their parent.
setpriv --pdeathsig TERM fcgiwrap -c 1 -s "unix:$run/fcgiwrap.sock" &
fcgi_pid=$!

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A free port can be taken by another program before nginx binds it: a few
# attempts, each bounded.
answered=false
for attempt in 1 2 3 4 5; do
  port=${VORLA_DEMO_PORT:-$(free_port)}
  sed -e "s|@PORT@|$port|g" -e "s|@RUN@|$run|g" -e "s|@DEMO@|$demo|g" -e "s|@MANIFEST_FILE@|$manifest_file|g" \
      -e "s|@RELEASE@|$release|g" \
      -e "s|@MANIFEST_RATE@|${VORLA_DEMO_MANIFEST_RATE:-0}|g" \
      -e "s|@VENDOR_HOST@|$vendor_host|g" -e "s|@SERVICE_HOST@|$service_host|g" \
      "$demo/nginx.conf.in" > "$run/nginx.conf"
  setpriv --pdeathsig TERM nginx -p "$run" -e "$run/error.log" -c "$run/nginx.conf" &
  nginx_pid=$!
  for _ in $(seq 50); do
    if curl -s -o /dev/null --max-time 2 -x "http://127.0.0.1:$port" "http://$vendor_host/" &&
       [ -S "$run/fcgiwrap.sock" ]; then
      answered=true
      break
    fi
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  $answered && break
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
  [ -z "${VORLA_DEMO_PORT:-}" ] || break
done
if ! $answered; then
  echo "site.sh: the demo site did not start; nginx said:" >&2
  cat "$run/error.log" >&2 2>/dev/null || true
  exit 1
fi

echo "Demo site: manifest '$manifest', hosts $vendor_host and $service_host, state in $run"
echo "http_proxy=http://127.0.0.1:$port"
# Runs until a signal, or until one of the two ends by itself.
wait -n "$nginx_pid" "$fcgi_pid" || true
echo "site.sh: the demo site stopped by itself; see $run/error.log" >&2
exit 1
