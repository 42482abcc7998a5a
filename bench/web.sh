#!/usr/bin/env bash
# The page's scan (WebAssembly, in headless chromium) against `velkor scan`
# on the same image: random bytes with 50 tagged files and 50 containers
# planted, scanned without a key.  Prints the medians and the page's speed
# as a fraction of the native program's.
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

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
native=$(for ((i = 0; i < runs; i++)); do
    s=$(date +%s%N); "$velkor" scan "$img" > /dev/null; e=$(date +%s%N)
    echo $(( (e - s) / 1000000 ))
done | median)
cp bench/web_bench.mjs build/web-test/
page=$(node build/web-test/web_bench.mjs "$site" "$img" "$runs" | median)
awk -v n="$native" -v p="$page" -v m="$mib" 'BEGIN {
    printf "velkor scan: %d ms (%.0f MiB/s)\n", n, m * 1000 / n
    printf "page scan:   %.0f ms (%.0f MiB/s)\n", p, m * 1000 / p
    printf "page / native speed: %.2fx\n", n / p
}'
