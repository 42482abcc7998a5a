# SPDX-License-Identifier: MIT
# What the test suite needs beyond a compiler.  Every missing package is
# named in one message at configure time, GoogleTest and pytest alike: a
# suite that leaves out part of itself, or fails late for want of a
# package, would read as a result when it is not one.
find_package(GTest)
set(velkor_missing)
if(NOT GTest_FOUND)
  list(APPEND velkor_missing libgtest-dev)
endif()
# A host interpreter cannot load a cross-built library, so a cross build
# runs no Python tests and needs no pytest.
if(NOT CMAKE_CROSSCOMPILING)
  if(NOT Python3_Interpreter_FOUND)
    list(APPEND velkor_missing python3 python3-pytest)
  else()
    execute_process(COMMAND ${Python3_EXECUTABLE} -c "import pytest"
                    RESULT_VARIABLE velkor_no_pytest OUTPUT_QUIET ERROR_QUIET)
    if(velkor_no_pytest)
      list(APPEND velkor_missing python3-pytest)
    endif()
  endif()
endif()
if(velkor_missing)
  list(JOIN velkor_missing " " velkor_missing)
  message(FATAL_ERROR "The tests need packages that are missing: ${velkor_missing}\n"
    "(Debian: apt-get install ${velkor_missing}; pytest for ${Python3_EXECUTABLE}). "
    "To build only the library and the programs, use the release preset "
    "(cmake --preset release) or -DVELKOR_BUILD_TESTS=OFF.")
endif()
