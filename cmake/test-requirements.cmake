# SPDX-License-Identifier: MIT
# What the test suite needs beyond a compiler.  Every missing package is
# named in one message at configure time, GoogleTest and pytest alike: a
# suite that leaves out part of itself, or fails late for want of a
# package, would read as a result when it is not one.
find_package(GTest)
set(velkor_missing)
# No GoogleTest is installed for Windows: the Windows build compiles it
# from the sources in Debian's googletest package, with GoogleTest's own
# warnings rather than ours (the directory's options are what a
# subdirectory inherits).
if(WIN32 AND NOT GTest_FOUND)
  set(VELKOR_GTEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest's sources, built for a Windows build's tests")
  if(EXISTS ${VELKOR_GTEST_SOURCE}/CMakeLists.txt)
    get_directory_property(velkor_options COMPILE_OPTIONS)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${VELKOR_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${velkor_options}")
    set(GTest_FOUND TRUE)
  else()
    list(APPEND velkor_missing googletest)
  endif()
elseif(NOT GTest_FOUND)
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
