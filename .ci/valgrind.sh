#!/usr/bin/env bash
# Memory check: every test program of a build (default: build/default, the
# release build), whole, under Valgrind memcheck, following the programs the
# tests start (bgntag) and the children they fork.  Any invalid access, use
# of uninitialised memory or leak fails the run.
#
# Valgrind's messages go to log files, not standard error, because the tests
# compare what bgntag prints there; a child with errors also exits with
# status 99, which fails the test that ran it.
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

failed=0
for prog in "${programs[@]}"; do
  name=$(basename "$prog")
  if file -b "$prog" | grep -Eq 'static(-pie)? linked|statically linked'; then
    echo "valgrind: $name: skipped (statically linked)"
    continue
  fi
  t0=$SECONDS
  log=$logs/$name.log
  status=0
  # Through a pipe: children under a file-size limit must still be able to
  # write their summaries.
  mkfifo "$logs/$name.fifo"
  cat "$logs/$name.fifo" >"$log" &
  reader=$!
  (cd "$build" && valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
     --show-leak-kinds=definite,indirect,possible \
     --errors-for-leak-kinds=definite,indirect,possible \
     --suppressions="$supp" --trace-children=yes --vgdb=no \
     --log-fd=9 "$prog" >"$logs/$name.out" 2>&1 9>"$logs/$name.fifo") || status=$?
  wait $reader
  # Every process must have ended with a summary, and none with errors.
  read -r pids clean < <(awk '
    match($0, /^==[0-9]+==/) { pid = substr($0, RSTART, RLENGTH); seen[pid] = 1 }
    /ERROR SUMMARY: 0 errors/ { ok[pid] = 1 }
    /ERROR SUMMARY: [1-9]/ { bad = 1 }
    END { n = 0; c = 0; for (p in seen) { n++; if (p in ok) c++ }
          print n, (bad ? -1 : c) }' "$log")
  if [ $status -eq 0 ] && [ "$pids" -eq "$clean" ]; then
    echo "valgrind: $name: clean, $pids processes ($((SECONDS - t0)) s)"
    # Tests skipped here (the AVX-512 kernels, which the emulated CPU lacks).
    grep -h '^\[  SKIPPED \] .* ms)$' "$logs/$name.out" | sed 's/^/  /' || true
  else
    echo "valgrind: $name: FAILED (status $status, $clean of $pids processes clean, $((SECONDS - t0)) s)"
    cat "$logs/$name.out" "$log"
    failed=1
  fi
done
exit $failed
