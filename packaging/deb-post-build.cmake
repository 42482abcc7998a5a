# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives a package whose shared library lies under /usr/lib postinst
# and postrm scripts that call ldconfig.  dpkg's ldconfig trigger (our
# triggers file) already does that, and a postrm script alone keeps the
# package in dpkg's records after apt-get remove, waiting for a purge.  So
# the library's package is rebuilt here without the two scripts.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^libvelkor[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
