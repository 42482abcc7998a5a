#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The npm package (npm/): built, packed and tested by the npm preset, from
# a clean build folder.  Its tests agree with the native velkor that the
# browser stage built (build/release), when there is one; else the preset
# builds its own.  Dev tools come from the npm registry, pinned by
# npm/test/package-lock.json; nothing else from the network.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in cmake ninja-build g++ clang-14 lld-14 wasi-libc libc++-14-dev-wasm32 \
           libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32 chromium nodejs; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || need+=("$pkg")
done
# Debian's nodejs comes without npm; other builds of it bring their own.
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  echo "npm: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

native=()
[ -x build/release/tool/velkor ] && native=(-DVELKOR_NPM_NATIVE="$PWD/build/release/tool/velkor")
rm -rf build/npm
cmake --preset npm "${native[@]}" >/dev/null
cmake --build --preset npm
ctest --preset npm
ls build/npm/velkor-*.tgz
