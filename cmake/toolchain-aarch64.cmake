# SPDX-License-Identifier: MIT
# Cross-build for 64-bit ARM.  QEMU_CPU in the environment picks the
# emulated CPU (.ci/run uses "max", which has PMULL).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
