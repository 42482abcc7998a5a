#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The device build (bare-metal Cortex-M, arm-none-eabi-gcc with newlib):
# the test images for mps2-an385 (Cortex-M3) and mps2-an386 (Cortex-M4),
# one per checksum kernel, and the example, each run under
# qemu-system-arm through ctest with a timeout.  A minute or two.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset device --fresh
