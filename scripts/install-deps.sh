#!/usr/bin/env bash
# Installs everything the agent, its tests and benchmarks need on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libx11-dev libxext-dev libxtst-dev libxdamage-dev libxfixes-dev libxrandr-dev
  libmbedtls-dev libpugixml-dev libpixman-1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-xkb-utils
  xdotool libxml2-utils
  libvncserver-dev libjpeg-dev vncsnapshot xterm x11-apps
  clang libclang-rt-14-dev
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
