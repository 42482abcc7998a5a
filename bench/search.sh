#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The scanner's search for starts alone: every native search this CPU runs
# (build/release's search_time) and the WebAssembly ones in Node
# (build/wasm's search_time.wasm), on 64 MiB of random bytes with a start
# every 4 KiB, the median of 7 runs each.  Taken in turn, ROUNDS times.
#
#   bench/search.sh [MiB, default 64] [rounds, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-64}
rounds=${2:-3}
native=build/default/bench/search_time
wasm=build/wasm/web/search_time.wasm
[[ -x $native && -f $wasm ]] ||
  { echo "search.sh: build the default and wasm presets first ($native, $wasm)" >&2; exit 1; }
for ((r = 1; r <= rounds; r++)); do
  echo "round $r:"
  "$native" "$mib" 7
  node bench/search_wasm.mjs "$wasm" "$mib" 7
done
