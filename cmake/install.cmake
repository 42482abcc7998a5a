# Installation: both programs, both libraries, the header, the man pages, a
# CMake package and a pkg-config file.
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

install(TARGETS bgntag velkor
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS velkor_static velkor_shared EXPORT velkorTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/lib/velkor.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/bgntag.1 ${PROJECT_SOURCE_DIR}/docs/velkor.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/velkor.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# CMake package.
install(EXPORT velkorTargets
  NAMESPACE velkor::
  DESTINATION ${VELKOR_CMAKE_DIR})
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
  DESTINATION ${VELKOR_CMAKE_DIR})

# pkg-config.  The file finds the prefix relative to its own directory, so
# the tree stays valid when installed with `cmake --install --prefix DIR`,
# whatever prefix was configured.  Absolute install directories are used as
# they stand.
set(VELKOR_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${VELKOR_PC_DIR}")
  set(VELKOR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH rel "/prefix/${VELKOR_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" rel "${rel}")
  set(VELKOR_PC_PREFIX "\${pcfiledir}/${rel}")
endif()
foreach(d LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${d}}")
    set(VELKOR_PC_${d} "${CMAKE_INSTALL_${d}}")
  else()
    set(VELKOR_PC_${d} "\${prefix}/${CMAKE_INSTALL_${d}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/velkor.pc.in ${PROJECT_BINARY_DIR}/velkor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkor.pc DESTINATION ${VELKOR_PC_DIR})
