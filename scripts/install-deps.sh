#!/usr/bin/env bash
# Installs everything the agent, its tests and benchmarks need on Debian 12.
# Idempotent: packages already present are left alone.
#   install-deps.sh        everything
#   install-deps.sh run    only what the main job (scripts/run.sh) needs
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
# The main job: building the agent and kwo-serve, and what kwo-serve runs
# (Xvfb with a terminal and a clock, noVNC for browsers).
packages=(
  build-essential cmake ninja-build pkg-config git
  libx11-dev libxext-dev libxtst-dev libxdamage-dev libxfixes-dev libxrandr-dev
  libmbedtls-dev libpugixml-dev libpixman-1-dev
  xvfb x11-xserver-utils xterm x11-apps
  libvncserver-dev novnc
)
if [ "$what" != run ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    xserver-xorg-core xserver-xorg-video-dummy x11-xkb-utils
    xdotool xclip libxml2-utils zlib1g-dev
    libjpeg-dev vncsnapshot
    clang libclang-rt-14-dev
    chromium
  )
  # kwo-serve's browser test runs noVNC in Chromium under node; any node
  # from 18 on will do, so Debian's is taken only when there is none.
  if ! command -v node >/dev/null; then
    packages+=(nodejs npm)
  fi
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

if [ "$what" = run ]; then
  exit 0
fi

# The browser test's node module (playwright-core), as locked; done again
# only when the lock file changed since the last install.
browser=kwo-serve/tests/browser
if ! cmp -s "$browser/package-lock.json" "$browser/node_modules/.installed-lock.json"; then
  echo "Installing the node modules of $browser"
  (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$browser/package-lock.json" "$browser/node_modules/.installed-lock.json"
fi
