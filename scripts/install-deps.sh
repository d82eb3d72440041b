#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with.
# Idempotent: installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libcurl4-openssl-dev libssl-dev libgtest-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools
  qt6-webengine-dev qt6-webengine-dev-tools
  hunspell-en-us hunspell-en-gb hunspell-de-de hunspell-fr hunspell-es
  libgl-dev libxkbcommon-dev libx11-dev
  librsvg2-bin
  xvfb xauth xdotool fonts-noto-cjk openssl ca-certificates
  python3 curl time bc libnss3-tools
  nginx fcgiwrap imagemagick desktop-file-utils appstream dpkg-dev file
  makeself xz-utils x11-utils poppler-utils libatspi2.0-dev at-spi2-core dbus-daemon libglib2.0-bin
  qt6-wayland sway wtype debootstrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

# Installing nginx makes Debian start its system service, a web server on
# port 80. The demo runs an nginx of its own on loopback, so a service that
# came with this install is stopped and disabled again.
if [[ " ${missing[*]} " == *" nginx "* ]] && [ -d /run/systemd/system ]; then
  $sudo systemctl disable --now nginx.service || echo "install-deps: could not stop nginx's system service" >&2
fi
