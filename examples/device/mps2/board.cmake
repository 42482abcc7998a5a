# SPDX-License-Identifier: MIT
# mps2_image(NAME LIBRARY SOURCES...): a program for qemu's MPS2 boards,
# linked with the start-up code and memory map here, newlib's semihosting
# (standard output and the exit status reach the host) and LIBRARY, a
# device build of velkor for the board's CPU.
set(MPS2_DIR ${CMAKE_CURRENT_LIST_DIR})

function(mps2_image name library)
  add_executable(${name} ${ARGN} ${MPS2_DIR}/startup.c)
  set_target_properties(${name} PROPERTIES SUFFIX ".elf")
  target_compile_options(${name} PRIVATE -Os -ffunction-sections -fdata-sections
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
  target_link_libraries(${name} PRIVATE ${library})
  target_link_options(${name} PRIVATE --specs=rdimon.specs -T ${MPS2_DIR}/mps2.ld
    -Wl,--gc-sections -Wl,-Map=$<TARGET_FILE:${name}>.map)
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${MPS2_DIR}/mps2.ld)
endfunction()

# mps2_test(NAME BOARD IMAGE): run IMAGE on BOARD under qemu as a ctest
# test.  qemu's status is the program's; a run that hangs is stopped.
find_program(VELKOR_QEMU_ARM qemu-system-arm)
function(mps2_test name board image)
  if(NOT VELKOR_QEMU_ARM)
    message(FATAL_ERROR "qemu-system-arm not found: apt-get install qemu-system-arm")
  endif()
  add_test(NAME ${name}
    COMMAND timeout 60 ${VELKOR_QEMU_ARM} -M ${board} -nographic -semihosting
            -kernel $<TARGET_FILE:${image}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT 90)
endfunction()
