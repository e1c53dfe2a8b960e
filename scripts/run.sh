#!/usr/bin/env bash
# The main job: installs what is needed, builds everything (Release) and runs
# kwo-serve on a virtual display of its own (Xvfb with a terminal and a
# clock), listening on 127.0.0.1:5900 for RFB viewers with a generated
# password (the file holding it is printed), until Ctrl-C. Extra arguments
# go to kwo-serve (see README.md or -help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
dir=$(bash scripts/build.sh release | tail -n 1)
# A virtual display unless one is named with -display.
unset DISPLAY
exec "$dir/kwo-serve/kwo-serve" "$@"
