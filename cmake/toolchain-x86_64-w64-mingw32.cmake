# SPDX-License-Identifier: MIT
# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64);
# programs run under wine (wine64), through cmake/wine.sh, which CTest and
# gtest_discover_tests pick up from CMAKE_CROSSCOMPILING_EMULATOR.
#
# The compilers are named with their thread model, so that the choice does
# not follow the system's alternatives: posix.  The library starts no
# threads, but GoogleTest wants std::mutex and std::condition_variable on
# Windows, which GCC 12's win32 model lacks; the posix model has them
# through winpthreads.  Everything is linked with -static (CMakeLists.txt),
# winpthreads and the compiler's run-times included, so nothing built here
# needs a DLL of the compiler's (libwinpthread-1.dll, libstdc++-6.dll).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine keeps its Windows (the prefix) in the build directory, never in the
# home directory: see wine.sh.
set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine.sh ${CMAKE_BINARY_DIR}/wine)
