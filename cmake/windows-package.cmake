# SPDX-License-Identifier: MIT
# What the Windows build installs beyond the libraries, the header and the
# CMake package (install.cmake), and the ZIP that holds it all:
#
#   bin/bgntag.exe, bin/velkor.exe  the programs
#   bin/libvelkor-0.dll          the DLL
#   lib/libvelkor.dll.a          its import library
#   lib/libvelkor.a              the static library (define VELKOR_STATIC)
#   lib/cmake/velkor/            find_package(velkor)
#   include/velkor.h
#   doc/bgntag.1.html, doc/velkor.1.html, doc/velkor.3.html
#                                the manuals, made with mandoc -T html
#   LICENSE
#
# `cmake --build build/windows --target package` writes the ZIP into the
# build directory.
find_program(VELKOR_MANDOC mandoc)
if(NOT VELKOR_MANDOC)
  message(FATAL_ERROR "The Windows package needs mandoc for its HTML manuals "
    "(Debian: apt-get install mandoc), or -DVELKOR_INSTALL=OFF.")
endif()

set(velkor_html)
foreach(page bgntag.1 velkor.1 velkor.3)
  set(html ${PROJECT_BINARY_DIR}/doc/${page}.html)
  add_custom_command(OUTPUT ${html}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND ${VELKOR_MANDOC} -T html ${PROJECT_SOURCE_DIR}/docs/${page} > ${html}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}
    COMMENT "HTML manual ${page}.html"
    VERBATIM)
  list(APPEND velkor_html ${html})
endforeach()
add_custom_target(velkor_html_manuals ALL DEPENDS ${velkor_html})
install(FILES ${velkor_html} DESTINATION doc COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT lib)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME velkor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME velkor-${PROJECT_VERSION}-windows-x86_64)
# One folder inside the ZIP, named as the ZIP is.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
