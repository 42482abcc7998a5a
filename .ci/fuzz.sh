#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fuzzing: build the libFuzzer targets (preset `fuzz`: clang, ASan + UBSan,
# the library instrumented too) and run each for a bounded time, starting
# from its committed seeds.  Any crash, sanitizer report, leak, timeout or
# violated property fails the run; the input that caused it is saved under
# build/fuzz/findings/ and belongs in a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${JOBS:-2}" >/dev/null

out=build/fuzz
mkdir -p "$out/findings"
failed=0
for target in decrypt cipher checksum stream scan; do
  case $target in
    checksum) max_len=16384 ;; # several blocks of the widest kernel
    scan) max_len=8192 ;;      # several finds, nested, across many pieces
    *) max_len=4096 ;;
  esac
  corpus=$out/corpus-$target
  mkdir -p "$corpus"
  log=$out/fuzz_$target.log
  status=0
  "$out/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=$max_len -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$out/findings/$target-" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  if [ $status -eq 0 ]; then
    echo "fuzz_$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed 's/^#[0-9]*[[:space:]]*DONE[[:space:]]*//')"
    grep '^stat::' "$log" | sed 's/^/  /'
  else
    echo "fuzz_$target: FINDING (status $status)"
    tail -n 60 "$log"
    ls -l "$out/findings" | grep -- "$target-" || true
    failed=1
  fi
done
exit $failed
