#!/usr/bin/env bash
# The main job: installs what is needed, builds the agent (Release) and shows
# the parameters it understands, as the XML document the server reads.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
dir=$(bash scripts/build.sh release | tail -n 1)
"$dir/kwoagent-x11/kwoagent-x11" user -paramsxml
