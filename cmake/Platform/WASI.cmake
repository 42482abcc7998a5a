# SPDX-License-Identifier: MIT
# The WebAssembly system of cmake/toolchain-wasm32-wasi.cmake: no shared
# libraries, executables are .wasm modules.
include(Platform/Generic)
set(CMAKE_EXECUTABLE_SUFFIX .wasm)
