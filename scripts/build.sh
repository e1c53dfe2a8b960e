#!/usr/bin/env bash
# Configures and builds one flavour: "asan" (Debug with AddressSanitizer and
# UndefinedBehaviorSanitizer, used by the tests) or "release" (benchmarks and
# everyday use). Prints the build folder on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-release}
case "$flavour" in
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DKWO_SANITIZE=ON) ;;
  release) args=(-DCMAKE_BUILD_TYPE=Release -DKWO_SANITIZE=OFF) ;;
  *) echo "usage: $0 [asan|release]" >&2; exit 2 ;;
esac

dir=build/$flavour
revision=$(git rev-parse --short HEAD 2>/dev/null || echo 0)
# Build output goes to stderr so that callers can take the folder from stdout.
cmake -S . -B "$dir" -G Ninja "${args[@]}" -DKWO_REVISION="$revision" >&2
cmake --build "$dir" -- -j"$(nproc)" >&2
echo "$dir"
