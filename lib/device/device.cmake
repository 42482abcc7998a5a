# SPDX-License-Identifier: MIT
# The device build of the library: the sources it shares with the host
# (velkor_common_sources), and this folder's files in place of the host's
# run-time kernel choice, heap tables and 8 KiB combination tables.  No
# scanner, no whole-file helpers, no vector kernels.
#
#   VELKOR_DEVICE_CRC  the checksum kernel: table256, table16 (the default),
#                      bitwise or external (see checksum_choice.cpp here).
#                      table16 checks a tagged image in about 600 bytes of
#                      flash at 11 instructions a byte; table256 takes
#                      about 950 bytes more for 7 a byte, bitwise 70 bytes
#                      less for 54 a byte (bench/README.md, "On a device").
#   VELKOR_DEVICE_CPU  the -mcpu of velkor_device, the library to link
#
# velkor_device_library(NAME CPU KERNEL) makes another such library, for the
# tests and figures that cover every kernel on every CPU.

set(VELKOR_DEVICE_CRC "table16" CACHE STRING
    "Checksum kernel of the device build: table256, table16, bitwise or external")
set_property(CACHE VELKOR_DEVICE_CRC PROPERTY STRINGS table256 table16 bitwise external)
set(VELKOR_DEVICE_CPU "cortex-m3" CACHE STRING "The -mcpu of the velkor_device library")

# The sources, as absolute paths for callers in other folders.
list(TRANSFORM velkor_common_sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
list(APPEND sources
  ${CMAKE_CURRENT_SOURCE_DIR}/device/checksum_choice.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/device/cipher_table.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/device/crc_combine.cpp)
set_property(GLOBAL PROPERTY velkor_device_sources ${sources})

function(velkor_device_library name cpu kernel)
  if(NOT kernel MATCHES "^(table256|table16|bitwise|external)$")
    message(FATAL_ERROR "VELKOR_DEVICE_CRC: no kernel named '${kernel}' "
                        "(table256, table16, bitwise or external)")
  endif()
  string(TOUPPER "${kernel}" k)
  get_property(sources GLOBAL PROPERTY velkor_device_sources)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/lib)
  # Small code, each function and table in its own section so that a
  # program linked with --gc-sections keeps only what it calls; no
  # exceptions, no RTTI; beside each object its stack use (.su) and call
  # graph (.ci), from which bench/device/stack_depth.py works out the
  # deepest stack of a call.
  target_compile_options(${name} PRIVATE -Os -ffunction-sections -fdata-sections
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fstack-usage -fcallgraph-info=su)
  # Whoever includes velkor.h against it sees the device's vcrypt_state,
  # and is built for the same CPU.
  target_compile_definitions(${name} PUBLIC VELKOR_DEVICE=1 PRIVATE VELKOR_DEVICE_CRC_${k}=1)
  target_compile_options(${name} PUBLIC -mcpu=${cpu} -mthumb)
  target_link_options(${name} INTERFACE -mcpu=${cpu} -mthumb -Wl,--gc-sections)
endfunction()

velkor_device_library(velkor_device ${VELKOR_DEVICE_CPU} ${VELKOR_DEVICE_CRC})
