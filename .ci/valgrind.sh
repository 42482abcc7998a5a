#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Memory check: every test program of a build (default: build/default, the
# release build), whole, under Valgrind memcheck, following the programs the
# tests start (bgntag, velkor) and the children they fork.  strace, which a
# test runs to watch velkor's system calls, is left to run natively: it
# cannot trace under Valgrind.  Any invalid access, use
# of uninitialised memory or leak fails the run.
#
# Valgrind's messages go to a log, not standard error, because the tests
# compare what the tools print there.  Any process with an invalid access
# or uninitialised use exits with status 99, which fails the test that ran
# it.  Leaks are judged from the log, for every program started (the test
# program and each program it executes): a child that a test only forks and
# ends with _exit() never frees anything by design, so leaks are not
# counted there (its invalid accesses are), nor in a program that a test
# kills with a signal on purpose, which ends wherever it is.
#
# Valgrind cannot execute AVX-512, but its emulated CPU does not report it
# either, so the checksum dispatch binds a kernel it can run and the kernel
# tests skip the AVX-512 tier.  Fully static programs are left out: valgrind
# cannot put its checked allocator and string functions into them, so it
# reports the C library's own internals.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
supp=$PWD/.ci/valgrind.supp

if [ ! -f "$build/CTestTestfile.cmake" ]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" >/dev/null

# The test programs, each once: the executables the registered tests run.
mapfile -t programs < <(ctest --test-dir "$build" --show-only=json-v1 | python3 -c '
import json, sys
seen = []
for t in json.load(sys.stdin)["tests"]:
    exe = t["command"][0]
    if exe not in seen:
        seen.append(exe)
print("\n".join(seen))')

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# One test program under Valgrind; its report goes to $logs/NAME.report,
# and NAME.failed marks a failure.
check() {
  local prog=$1 name t0 log status pids clean
  name=$(basename "$prog")
  t0=$SECONDS
  log=$logs/$name.log
  status=0
  # Through a pipe: children under a file-size limit must still be able to
  # write their summaries.
  mkfifo "$logs/$name.fifo"
  cat "$logs/$name.fifo" >"$log" &
  local reader=$!
  (cd "$build" && valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
     --show-leak-kinds=definite,indirect,possible \
     --errors-for-leak-kinds=none \
     --suppressions="$supp" --trace-children=yes --vgdb=no \
     --trace-children-skip="*/strace" \
     --log-fd=9 "$prog" >"$logs/$name.out" 2>&1 9>"$logs/$name.fifo") || status=$?
  wait $reader
  # Every process must have ended with a summary of no errors, and every
  # program started must have lost no memory.
  read -r pids clean < <(awk '
    match($0, /^==[0-9]+==/) { pid = substr($0, RSTART, RLENGTH); seen[pid] = 1 }
    / Command: / { started[pid] = 1 }
    /Process terminating with default action of signal/ { killed[pid] = 1 }
    /ERROR SUMMARY: / { summary[pid] = 1; if ($0 !~ /ERROR SUMMARY: 0 errors/) bad[pid] = 1 }
    /(definitely|indirectly|possibly) lost: [1-9]/ { lost[pid] = 1 }
    END { n = 0; c = 0
          for (p in seen) {
            n++
            if ((p in summary) && !(p in bad) && !((p in lost) && (p in started) && !(p in killed))) c++
          }
          print n, c }' "$log")
  {
    if [ $status -eq 0 ] && [ "$pids" -eq "$clean" ]; then
      echo "valgrind: $name: clean, $pids processes ($((SECONDS - t0)) s)"
      # Tests skipped here (the AVX-512 kernels, which the emulated CPU lacks).
      grep -h '^\[  SKIPPED \] .* ms)$' "$logs/$name.out" | sed 's/^/  /' || true
    else
      echo "valgrind: $name: FAILED (status $status, $clean of $pids processes clean, $((SECONDS - t0)) s)"
      cat "$logs/$name.out" "$log"
      touch "$logs/$name.failed"
    fi
  } >"$logs/$name.report"
}

# Valgrind runs one process at a time, and most tests keep one process
# busy at a time, so the programs are checked side by side, one per core.
checked=()
for prog in "${programs[@]}"; do
  name=$(basename "$prog")
  # The Python tests run the interpreter, not a program of this build (the
  # asan preset checks the library under them).
  case $(realpath "$prog") in
    "$(realpath "$build")"/*) ;;
    *) echo "valgrind: $name: skipped (not built here)"; continue ;;
  esac
  if file -b "$prog" | grep -Eq 'static(-pie)? linked|statically linked'; then
    echo "valgrind: $name: skipped (statically linked)"
    continue
  fi
  checked+=("$prog")
done
. .ci/side_by_side.sh
side_by_side check "$logs" "valgrind: " "${checked[@]}"
