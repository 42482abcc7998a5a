# Installation: both programs, both libraries, the header, the man pages, a
# CMake package, a pkg-config file, shell completions and the Python
# package (python/CMakeLists.txt).  Included only when VELKOR_INSTALL is on.
#
# Each file belongs to a component, one per Debian package
# (packaging/deb.cmake): lib the shared library itself, dev what one builds
# against, tools the programs, python the Python package.
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
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The SONAME file and its versioned name are the runtime library; the
# unversioned link name is only for linking, so it goes with the header.
install(TARGETS velkor_static velkor_shared EXPORT velkorTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
install(FILES ${PROJECT_SOURCE_DIR}/lib/velkor.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# Man pages: as they are, or compressed where a distribution wants them so
# (VELKOR_DEB, on in the deb preset).
option(VELKOR_DEB "Install as a Debian package wants: man pages compressed, copyright and changelog per package" OFF)
function(velkor_install_man page section component)
  set(src ${PROJECT_SOURCE_DIR}/docs/${page})
  if(VELKOR_DEB)
    set(gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
    # -n: no name or time stamp inside, so the package builds the same twice.
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND gzip -9n -c ${src} > ${gz}
      DEPENDS ${src} VERBATIM)
    add_custom_target(man_${page} ALL DEPENDS ${gz})
    set(src ${gz})
  endif()
  install(FILES ${src} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
velkor_install_man(bgntag.1 1 tools)
velkor_install_man(velkor.1 1 tools)
velkor_install_man(velkor.3 3 dev)

# Shell completions, where bash-completion and Debian's zsh look for them.
install(FILES ${PROJECT_SOURCE_DIR}/completions/velkor.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velkor COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/completions/velkor.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME bgntag COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/completions/_velkor
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT tools)

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
install(FILES ${PROJECT_BINARY_DIR}/velkor.pc DESTINATION ${VELKOR_PC_DIR} COMPONENT dev)
