# SPDX-License-Identifier: MIT
# WebAssembly for the browser page: clang's wasm32-wasi target with Debian's
# wasi-libc, libc++ for wasm32 and lld.  Nothing of WASI is used at run time
# beyond what the page's worker stubs out; the module is a "reactor" (no
# main) whose exported functions the worker calls.
set(CMAKE_SYSTEM_NAME WASI)
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}) # Platform/WASI.cmake
set(CMAKE_SYSTEM_VERSION 1)
set(CMAKE_SYSTEM_PROCESSOR wasm32)

set(triple wasm32-wasi)
find_program(VELKOR_WASM_CLANG NAMES clang-14 clang REQUIRED)
find_program(VELKOR_WASM_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${VELKOR_WASM_CLANG})
set(CMAKE_CXX_COMPILER ${VELKOR_WASM_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
find_program(VELKOR_WASM_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(VELKOR_WASM_RANLIB NAMES llvm-ranlib-14 llvm-ranlib REQUIRED)
set(CMAKE_AR ${VELKOR_WASM_AR} CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELKOR_WASM_RANLIB} CACHE FILEPATH "")

# clang links for this target with lld's wasm-ld (Debian's lld-14).

set(CMAKE_FIND_ROOT_PATH /usr/lib/wasm32-wasi /usr/include/wasm32-wasi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# 128-bit SIMD (every current browser has it): the scanner's search for
# starts runs on the compiler's generic vectors, 16 bytes a step.
set(CMAKE_C_FLAGS_INIT "-msimd128")
set(CMAKE_CXX_FLAGS_INIT "-msimd128")
