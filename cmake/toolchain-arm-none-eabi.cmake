# SPDX-License-Identifier: MIT
# Bare-metal Arm Cortex-M with Debian's gcc-arm-none-eabi and newlib, for
# the device build (VELKOR_DEVICE).  The CPU is chosen per target
# (lib/device/device.cmake), since one build makes images for several.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
# Without a CPU and a start-up file no test program links: test the
# compiler with a library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
