# SPDX-License-Identifier: MIT
# The Python interpreter the package is tested with and installed for.
#
# Debian's python3-pytest installs for the system interpreter, which one
# installed by hand (pyenv, a venv) may shadow on PATH: prefer the system's
# unless Python3_EXECUTABLE names another.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH
      "The Python interpreter the package is tested with and installed for")
endif()
find_package(Python3 COMPONENTS Interpreter QUIET)
# Recorded for the install check and for a look at the cache, whichever
# interpreter was found.
if(Python3_Interpreter_FOUND AND NOT DEFINED CACHE{Python3_EXECUTABLE})
  set(Python3_EXECUTABLE "${Python3_EXECUTABLE}" CACHE FILEPATH
      "The Python interpreter the package is tested with and installed for")
endif()
