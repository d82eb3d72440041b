#!/usr/bin/env bash
# The demo site through real HTTP on loopback, as the programs reach it: curl
# with the site as its http_proxy, the built-in host names in the URLs.
set -uo pipefail
demo=$(cd "$(dirname "$0")/.." && pwd)
vendor=${VORLA_VENDOR_HOST:-www.vorla.example}
service=${VORLA_SERVICE_HOST:-app.vorla.example}
work=$(mktemp -d)
site_pid=""
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() {  # description actual expected
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}
contains() {  # description haystack needle
  case "$2" in *"$3"*) ;; *) fail "$1: '$3' not in: ${2:0:300}" ;; esac
}

stop_site() {
  [ -n "$site_pid" ] || return 0
  kill "$site_pid" 2>/dev/null
  wait "$site_pid" 2>/dev/null
  site_pid=""
}
trap 'stop_site; rm -rf "$work"' EXIT

# Starts the site with a manifest and a state folder; sets $proxy.
start_site() {  # manifest state
  : > "$work/site.out"
  VORLA_DEMO_STATE=$2 "$demo/site.sh" "$1" > "$work/site.out" 2>&1 &
  site_pid=$!
  proxy=""
  for _ in $(seq 100); do
    proxy=$(sed -n 's/^http_proxy=//p' "$work/site.out")
    [ -n "$proxy" ] && return 0
    kill -0 "$site_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "the site did not start with manifest $1: $(cat "$work/site.out")"
  return 1
}

get() { curl -s --max-time 10 -x "$proxy" "$@"; }
tag() { sed -n "s|.*<$1>\(.*\)</$1>.*|\1|p" <<<"$2"; }

# Each manifest variant, as the vendor's host serves it.
while read -r variant version webversion updatetype; do
  start_site "$variant" "$work/state-$variant" || continue
  body=$(get "http://$vendor/pcupdate/update.xml")
  expect "$variant: version" "$(tag version "$body")" "$version"
  expect "$variant: webversion" "$(tag webversion "$body")" "$webversion"
  expect "$variant: updatetype" "$(tag updatetype "$body")" "$updatetype"
  expect "$variant: url" "$(tag url "$body")" "http://$vendor/download/vorla-setup.sh"
  expect "$variant: the installer's digest" "$(tag sha256 "$body")" \
    "$(get "http://$vendor/download/vorla-setup.sh" | sha256sum | cut -d' ' -f1)"
  printf '%s\n%s' "$(tag version "$body")" "$(tag sha256 "$body")" >"$work/signed"
  tag signature "$body" | base64 -d >"$work/signature"
  openssl pkeyutl -verify -rawin -pubin -inkey "$demo/keys/demo-only-update-key.pub.pem" -in "$work/signed" \
    -sigfile "$work/signature" >/dev/null 2>&1
  expect "$variant: signed with the demo's key" "$?" "0"
  stop_site
done <<'ROWS'
none 3.0.0.7 2026.12.1 0
optional 3.0.0.8 2026.12.1 0
mandatory 3.0.0.8 2026.12.1 1
silent 3.0.0.8 2026.12.1 2
webversion 3.0.0.7 2026.12.2 0
ROWS

bad=$("$demo/site.sh" nonsense 2>&1)
expect "an unknown manifest is refused" "$?" "2"
contains "an unknown manifest is named" "$bad" "nonsense"

state=$work/state
start_site none "$state" || exit 1

# Hosts are told apart by name; any other host gets nothing.
contains "vendor home page" "$(get "http://$vendor/")" "<title>Vorla Vendor Home</title>"
expect "another host" "$(get -o /dev/null -w '%{http_code}' "http://elsewhere.example/")" "404"
expect "the manifest variants are not published" \
  "$(get -o /dev/null -w '%{http_code}' "http://$vendor/pcupdate/optional.xml")" "404"

# Sign-in: the form, a wrong password, the right one, the session across requests.
jar=$work/cookies
form=$(get -c "$jar" -b "$jar" "http://$service/signin")
contains "sign-in form" "$form" "<title>Vorla Sign-in</title>"
contains "sign-in form posts" "$form" '<form method="post" action="/signin">'
expect "signed-in page without a session" \
  "$(get -o /dev/null -w '%{http_code} %{redirect_url}' "http://$service/workspace")" "303 http://$service/signin"
expect "forged session" "$(get -o /dev/null -w '%{http_code}' -b 'vorla_session=/etc/passwd' \
  "http://$service/workspace")" "303"
wrong=$(get -c "$jar" -b "$jar" -o /dev/null -w '%{http_code}' -d 'user=demo&password=wrong' "http://$service/signin")
expect "wrong password" "$wrong" "401"
grep -q vorla_session "$jar" && fail "a wrong password set a session cookie"
signed=$(get -c "$jar" -b "$jar" -L -d 'user=demo&password=demo' "http://$service/signin")
contains "signed-in page after the form" "$signed" "<title>Vorla Workspace</title>"
contains "pop-up link" "$signed" "href=\"http://$vendor/\" target=\"_blank\""
contains "download link" "$signed" 'href="/report.csv"'
cookie=$(awk '$6 == "vorla_session" { print $6 "=" $7 }' "$jar")
[ -n "$cookie" ] || fail "no session cookie was set"
awk '$6 == "vorla_session" && $5 != 0 { exit 1 }' "$jar" || fail "the session cookie has an expiry"
expect "the sign-in page sends a signed-in browser on" \
  "$(get -b "$cookie" -o /dev/null -w '%{http_code} %{redirect_url}' "http://$service/signin")" \
  "303 http://$service/workspace"
headers=$(get -b "$cookie" -D - -o /dev/null "http://$service/report.csv")
contains "download" "$headers" "Content-Disposition: attachment; filename=report.csv"

# The installer: downloaded through the site and run, it leaves its marker in
# a folder of its own under TMPDIR and nothing anywhere else.
installer=$work/vorla-setup.sh
get -o "$installer" "http://$vendor/download/vorla-setup.sh"
chmod +x "$installer"
mkdir -p "$work/tmp" "$work/home"
before=$(find "$work/home" | sort)
HOME=$work/home TMPDIR=$work/tmp DISPLAY= "$installer" one two
expect "installer exit" "$?" "0"
marker=$(find "$work/tmp" -name ran.txt)
contains "installer marker" "$(cat "$marker" 2>/dev/null)" "with 2 argument(s); nothing was installed"
expect "the installer's own folder holds only its marker" "$(find "$work/tmp" -mindepth 1 | wc -l)" "2"
expect "the installer touched HOME" "$(find "$work/home" | sort)" "$before"

# Stopping the site ends every process it started, however the script is ended.
leftovers() { pgrep -f -- "$state" | grep -vx "$site_pid"; }
stop_site
sleep 0.5
rest=$(leftovers)
[ -z "$rest" ] || { fail "still running after the site was stopped: $(echo "$rest" | xargs -r ps -o cmd= -p)"; kill $rest; }

start_site none "$state" || exit 1
kill -KILL "$site_pid"
wait "$site_pid" 2>/dev/null
for _ in $(seq 50); do
  [ -z "$(leftovers)" ] && break
  sleep 0.1
done
rest=$(leftovers)
[ -z "$rest" ] || { fail "outlived a killed site script: $(echo "$rest" | xargs -r ps -o cmd= -p)"; kill $rest; }
site_pid=""

[ "$failures" -eq 0 ] && echo "demo site: all checks passed"
[ "$failures" -eq 0 ]
