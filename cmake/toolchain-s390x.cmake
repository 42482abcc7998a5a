# SPDX-License-Identifier: MIT
# Cross-build for 64-bit s390x, a big-endian host.
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
