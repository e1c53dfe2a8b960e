#!/usr/bin/env bash
# Installs what is needed, builds with sanitizers and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
dir=$(bash scripts/build.sh asan | tail -n 1)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600 | tee ctest-output.log
# Short runs of the fuzz targets (and their regression inputs), then ctest's
# summary again so that it stays the closing line.
(cd "$OLDPWD" && bash scripts/fuzz.sh 10)
grep -E '^[0-9]+% tests passed' ctest-output.log
