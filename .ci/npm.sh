#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The npm package (npm/): built, packed and tested by the npm preset, from
# a clean build folder.  Its tests agree with the native velkor that the
# browser stage built (build/release), when there is one; else the preset
# builds its own.  Dev tools come from the npm registry, pinned by
# npm/test/package-lock.json; nothing else from the network.
set -euo pipefail
cd "$(dirname "$0")/.."

. .ci/browser_deps.sh
browser_deps

native=()
[ -x build/release/tool/velkor ] && native=(-DVELKOR_NPM_NATIVE="$PWD/build/release/tool/velkor")
rm -rf build/npm
cmake --preset npm "${native[@]}" >/dev/null
cmake --build --preset npm
ctest --preset npm
ls build/npm/velkor-*.tgz
