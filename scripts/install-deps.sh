#!/usr/bin/env bash
# Installs everything the agent, its tests and benchmarks need on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config git
  libx11-dev libxext-dev libxtst-dev libxdamage-dev libxfixes-dev libxrandr-dev
  libmbedtls-dev libpugixml-dev libpixman-1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-xkb-utils
  xdotool xclip libxml2-utils zlib1g-dev
  libvncserver-dev libjpeg-dev vncsnapshot xterm x11-apps
  clang libclang-rt-14-dev
  chromium
)
# kwo-serve's browser test runs noVNC in Chromium under node; any node from
# 18 on will do, so Debian's is taken only when there is none.
if ! command -v node >/dev/null; then
  packages+=(nodejs npm)
fi

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

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The browser test's node modules (noVNC, playwright-core), as locked; done
# again only when the lock file changed since the last install.
browser=kwo-serve/tests/browser
if ! cmp -s "$browser/package-lock.json" "$browser/node_modules/.installed-lock.json"; then
  echo "Installing the node modules of $browser"
  (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$browser/package-lock.json" "$browser/node_modules/.installed-lock.json"
fi
