# SPDX-License-Identifier: MIT
# The one home of velkor's version: CMake's project() and the Python
# package's metadata both read it from here.
__version__ = "0.2.0"
