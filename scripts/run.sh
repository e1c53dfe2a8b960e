#!/usr/bin/env bash
# The main job: installs what it needs, builds kwo-serve and the agent only
# (Release, no tests or benchmarks) and runs kwo-serve on a virtual display
# of its own (Xvfb with a terminal and a clock), listening on 127.0.0.1:5900
# for RFB viewers and on 127.0.0.1:5800 for browsers, with a generated
# password, until Ctrl-C. It prints where it serves, the password file and
# the commands that connect. Extra arguments go to kwo-serve (see README.md
# or -help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run
dir=build/serve
revision=$(git rev-parse --short HEAD 2>/dev/null || echo 0)
# Build output goes to stderr, as with scripts/build.sh.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKWO_SANITIZE=OFF \
  -DKWO_TESTS=OFF -DKWO_BENCH=OFF -DKWO_REVISION="$revision" >&2
cmake --build "$dir" --target kwo-serve kwoagent-x11 -- -j"$(nproc)" >&2
# A virtual display unless one is named with -display.
unset DISPLAY
exec "$dir/kwo-serve/kwo-serve" "$@"
