# Read by CPack for each generator it runs: the Debian package takes the
# component laid out under /usr, the tarball and the zip the one-folder
# component. The tarball's run also makes the Windows zip, when there is one.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL ${CPACK_KIV_DEB_COMPONENT})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Without it the package would say nothing of the libraries it needs.
  find_program(CPACK_KIV_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT CPACK_KIV_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "the Debian package needs dpkg-shlibdeps for its Depends: install dpkg-dev")
  endif()
else()
  set(CPACK_COMPONENTS_ALL ${CPACK_KIV_ARCHIVE_COMPONENT})
  if(CPACK_GENERATOR STREQUAL "TGZ" AND CPACK_KIV_WINDOWS_ZIP)
    set(CPACK_PRE_BUILD_SCRIPTS ${CPACK_KIV_WINDOWS_ZIP})
  endif()
endif()
