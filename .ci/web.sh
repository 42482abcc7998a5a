#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The browser page: the library built for WebAssembly (preset wasm), the
# native velkor it is checked against, and the page driven in headless
# chromium by puppeteer-core (installed into the build tree from its lock
# file, never globally).  Screenshots land in build/web-test/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."

. .ci/browser_deps.sh
browser_deps

jobs=${JOBS:-2}
cmake --preset wasm >/dev/null
cmake --build build/wasm -j "$jobs"
cmake --preset release >/dev/null
cmake --build build/release -j "$jobs" --target velkor

test_dir=build/web-test
mkdir -p "$test_dir"
# A fresh install only when the lock file changed.
if ! cmp -s web/test/package-lock.json "$test_dir/package-lock.json" || [ ! -d "$test_dir/node_modules" ]; then
  cp web/test/package.json web/test/package-lock.json "$test_dir/"
  (cd "$test_dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
cp web/test/page_test.mjs "$test_dir/"
node "$test_dir/page_test.mjs" build/wasm/web/site build/release/tool/velkor "$test_dir"
