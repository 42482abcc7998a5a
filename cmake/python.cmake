# The Python interpreter the package is tested with and installed for.
#
# Debian's python3-pytest installs for the system interpreter, which one
# installed by hand (pyenv, a venv) may shadow on PATH: prefer the system's
# unless Python3_EXECUTABLE names another.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter QUIET)
