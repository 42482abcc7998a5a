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
# One target for its time; its report goes to $reports/NAME.report, and
# NAME.failed marks a finding.
fuzz_one() {
  local target=$1 max_len corpus log status=0
  case $target in
    checksum) max_len=16384 ;; # several blocks of the widest kernel
    scan) max_len=8192 ;;      # several finds, nested, across many pieces
    *) max_len=4096 ;;
  esac
  corpus=$out/corpus-$target
  mkdir -p "$corpus"
  log=$out/fuzz_$target.log
  "$out/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=$max_len -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$out/findings/$target-" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  {
    if [ $status -eq 0 ]; then
      echo "fuzz_$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed 's/^#[0-9]*[[:space:]]*DONE[[:space:]]*//')"
      grep '^stat::' "$log" | sed 's/^/  /'
    else
      echo "fuzz_$target: FINDING (status $status)"
      tail -n 60 "$log"
      ls -l "$out/findings" | grep -- "$target-" || true
      touch "$reports/$target.failed"
    fi
  } >"$reports/$target.report"
}

# A fuzzer runs on one core: the targets run side by side, one per core.
. .ci/side_by_side.sh
reports=$out/reports
mkdir -p "$reports"
side_by_side fuzz_one "$reports" fuzz_ decrypt cipher checksum stream scan
