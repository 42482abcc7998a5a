#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite on a build with only the portable checksum kernels and cipher
# paths (VELKOR_PORTABLE), so the code every CPU without the faster
# instructions runs is built and tested on this machine too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/portable
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_PORTABLE=ON \
  -DVELKOR_BUILD_BENCH=OFF -DVELKOR_WERROR=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
ctest --test-dir "$build" --output-on-failure -j "${JOBS:-2}"
