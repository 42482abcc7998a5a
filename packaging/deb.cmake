# Debian packages: cpack -G DEB, from a build configured with the deb
# preset (prefix /usr, Debian's multiarch lib directory, VELKOR_DEB on).
# .ci/deb.sh builds, checks, installs and removes them.
#
# Split as Debian splits a library, one install component each:
#   libvelkor0     lib     the shared library alone, named for its SONAME,
#                          so programs built against it keep working while
#                          a later libvelkor1 is installed beside it
#   libvelkor-dev  dev     header, libvelkor.so link, static library,
#                          pkg-config file, CMake package, velkor(3)
#   velkor         tools   bgntag, velkor, their man pages and completions
#                          (linked statically to the library: no dependency)
#   python3-velkor python  the Python package, architecture-independent;
#                          it loads libvelkor.so.0 through the loader
set(CPACK_PACKAGE_NAME velkor)
set(CPACK_PACKAGE_VENDOR "velkor developers")
set(CPACK_PACKAGE_CONTACT "velkor developers <velkor@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on system libraries come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(velkor_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvelkor0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_MULTI_ARCH same)
# A shlibs file, so that packages built against the library depend on
# this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is refreshed through dpkg's ldconfig trigger, and
# nothing else: deb-post-build.cmake takes out the scripts CPack adds.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-post-build.cmake)
set(CPACK_COMPONENT_LIB_DESCRIPTION
"velkor library: checksums, a keyed stream cipher and containers
The shared library libvelkor.so.0: two 32-bit checksums, tagged files
with a length and a CRC, a keyed stream cipher and an encrypted container
format, through one C-compatible interface.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelkor-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_MULTI_ARCH same)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvelkor0 (= ${velkor_deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"velkor library: development files
The header velkor.h, the link to the shared library, the static library,
a pkg-config file, a CMake package (find_package(velkor)) and the
velkor(3) manual page.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velkor)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"tag, check and unpack files with velkor
bgntag writes a tagged file: a header with the file's length and a CRC,
then the bytes unchanged.  velkor checks and untags tagged files, and
packs, unpacks and describes encrypted containers.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-velkor)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, libvelkor0 (>= ${PROJECT_VERSION})")
# py3compile and py3clean own the byte-code caches, as in any Debian
# Python package: without them an import as root leaves caches behind.
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/python3-velkor/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/python3-velkor/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"velkor library for Python 3
import velkor: the library's checksums, tagged files, stream cipher and
encrypted containers for Python, over libvelkor.so.0.")

# Every package carries its copyright and changelog, as policy asks.
if(VELKOR_DEB)
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${changelog} @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND gzip -9n -c ${changelog} > ${changelog}.gz
    DEPENDS ${changelog} VERBATIM)
  add_custom_target(deb_changelog ALL DEPENDS ${changelog}.gz)
  foreach(c lib dev tools python)
    string(TOUPPER ${c} C)
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${C}_PACKAGE_NAME})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${changelog}.gz
      DESTINATION ${docdir} COMPONENT ${c})
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/debian/${CPACK_DEBIAN_${C}_PACKAGE_NAME}.lintian-overrides)
      install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/${CPACK_DEBIAN_${C}_PACKAGE_NAME}.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${CPACK_DEBIAN_${C}_PACKAGE_NAME} COMPONENT ${c})
    endif()
  endforeach()
endif()

include(CPack)
