#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The page's scan (WebAssembly, in headless chromium) against `velkor scan`
# on the same image: random bytes with 50 tagged files and 50 containers
# planted, scanned without a key, the two taken in turn.  Prints the medians
# and the page's speed as a fraction of the native program's.
#
#   bench/web.sh [MiB, default 256] [runs, default 3]
#
# Needs what .ci/web.sh builds: build/wasm, build/release's velkor and
# puppeteer-core in build/web-test.  The image goes to a fresh directory
# under $BENCH_DIR (default /dev/shm) and is removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-256}
runs=${2:-3}
site=build/wasm/web/site
velkor=$(realpath build/release/tool/velkor)
[[ -f $site/velkor.wasm && -x $velkor && -d build/web-test/node_modules ]] ||
  { echo "web.sh: run .ci/web.sh first (the page, velkor and puppeteer-core)" >&2; exit 1; }

dir=$(mktemp -d "${BENCH_DIR:-/dev/shm}/velkor-web.XXXXXX")
trap 'rm -rf "$dir"' EXIT
. bench/planted.sh # the working directory is the tree's top
planted_image "$velkor" "$dir" "$mib" 50
img=$dir/image

cp bench/web_bench.mjs bench/web_page.mjs build/web-test/
node build/web-test/web_bench.mjs "$site" "$img" "$runs" "$velkor" > "$dir/times"
# Medians of each column, and of the ratio within each pair.
awk -v m="$mib" '
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { n++; nat[n] = $1; pg[n] = $2; wt[n] = $3; wk[n] = $4; r[n] = $1 / $2 }
  END {
    a = median(nat, n); b = median(pg, n)
    printf "velkor scan: %.0f ms (%.0f MiB/s)\n", a, m * 1000 / a
    printf "page scan:   %.0f ms (%.0f MiB/s), of which %.0f ms waiting for the file and %.0f working on it\n", b, m * 1000 / b, median(wt, n), median(wk, n)
    printf "page / native speed: %.2fx (median of %d pairs taken in turn; %.2fx to %.2fx)\n", median(r, n), n, r[1], r[n]
  }' "$dir/times"
