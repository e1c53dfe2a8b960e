#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each one for
# N seconds (first argument, default 30) on a scratch copy of its seed corpus
# (fuzz/corpus/<target>) plus its regression inputs (fuzz/regressions/<target>),
# which are replayed first. Fails when any target finds anything; the
# finding is left in build/fuzz/findings/<target>/ and the tail of the
# target's log is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
dir=build/fuzz
targets=(ChannelReceive RegionRead PixelFormatRead SetParams CommandLine LogSetting DeadKeyFile
         SharedMemDescription)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" \
  -DKWO_FUZZ=ON -DKWO_TESTS=OFF -DKWO_BENCH=OFF -DKWO_SANITIZE=OFF >/dev/null
cmake --build "$dir" --target fuzzers -- -j"$(nproc)" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  work="$dir/fuzzwork/$target"
  findings="$dir/findings/$target"
  rm -rf "$work" "$findings"
  mkdir -p "$work/corpus" "$findings" "$dir/logs"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  log="$dir/logs/$target.log"
  binary="$dir/fuzz/fuzz_$target"
  status=0
  # Known findings first: each must pass as it is.
  if [ -d "fuzz/regressions/$target" ] && [ -n "$(ls -A "fuzz/regressions/$target")" ]; then
    "$binary" -runs=0 fuzz/regressions/"$target"/* >"$log" 2>&1 || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" "$work/corpus" >>"$log" 2>&1 || status=$?
  fi
  summary=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true)
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FAILED (status $status); findings in $findings" >&2
    tail -n 40 "$log" >&2
    failed+=("$target")
  else
    echo "fuzz $target: ok ${seconds}s: $summary"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without findings"
