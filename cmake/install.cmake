# SPDX-License-Identifier: MIT
# Installation: both programs, both libraries, the header, the man pages, a
# CMake package, a pkg-config file, shell completions, the signatures for
# file(1) and binwalk and the Python package (python/CMakeLists.txt).
# Included only when VELKOR_INSTALL is on.
#
# Each file belongs to a component (cmake --install --component), split as
# the Debian packages are (debian/): lib the shared library itself, dev what
# one builds against, tools the programs and what goes with them, python
# the Python package.
#
#   find_package(velkor)  ->  velkor::velkor         the shared library
#                             velkor::velkor_static  the static library
#
# The shared library is the default target, as for any library that carries
# a SONAME: programs pick up fixed builds without being relinked.  Those who
# want no run-time dependency link velkor::velkor_static.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velkor)

set_target_properties(velkor_shared PROPERTIES EXPORT_NAME velkor)
set_target_properties(velkor_static PROPERTIES EXPORT_NAME velkor_static)
foreach(t velkor_static velkor_shared)
  target_include_directories(${t} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

# The programs (bgntag.exe and velkor.exe on Windows).
if(TARGET bgntag)
  install(TARGETS bgntag velkor
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
# The SONAME file and its versioned name are the runtime library; the
# unversioned link name is only for linking, so it goes with the header.
# On Windows the DLL is the runtime library and its import library (an
# archive, as the static library is) is for linking.
install(TARGETS velkor_static velkor_shared EXPORT velkorTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
install(FILES ${PROJECT_SOURCE_DIR}/lib/velkor.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# Windows: the manuals as HTML, the licence, and a ZIP of it all, in place
# of what only a Unix-like system uses (man pages, completions, the
# signatures, pkg-config) below.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-package.cmake)
else()
# Man pages, as they are: a distribution compresses them its own way.
foreach(page bgntag.1 velkor.1)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${page}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/velkor.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)

# Shell completions, one file per command where bash-completion loads it on
# first use, and one for zsh where Debian's zsh looks.
foreach(cmd velkor bgntag)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/${cmd}.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${cmd} COMPONENT tools)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/completions/_velkor
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT tools)

# Both formats for file(1) (magic(5) entries: file -m) and for binwalk
# (its own signature format: binwalk -m).
install(FILES ${PROJECT_SOURCE_DIR}/share/velkor/velkor.magic
              ${PROJECT_SOURCE_DIR}/share/velkor/binwalk.magic
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velkor COMPONENT tools)
endif()

# CMake package.
install(EXPORT velkorTargets
  NAMESPACE velkor::
  DESTINATION ${VELKOR_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velkorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velkorConfig.cmake
  INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
# The SONAME changes with the major version, and so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velkorConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/velkorConfig.cmake
  ${PROJECT_BINARY_DIR}/velkorConfigVersion.cmake
  DESTINATION ${VELKOR_CMAKE_DIR} COMPONENT dev)

if(WIN32)
  return()
endif()
# pkg-config, with plain absolute paths as a distribution's .pc files have
# them (pkg-config then leaves out /usr/include and the system's lib
# folders).  The file is written when installing, for the prefix given
# then (pkgconfig.cmake.in), so `cmake --install --prefix DIR` gets a file
# that names DIR whatever prefix was configured.
configure_file(${CMAKE_CURRENT_LIST_DIR}/pkgconfig.cmake.in ${PROJECT_BINARY_DIR}/pkgconfig.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/pkgconfig.cmake COMPONENT dev)
