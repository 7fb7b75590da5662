# Packages, made with CPack from the install rules below. Every package build
# writes SHA256SUMS beside the packages.
#   native build:  DAVODEV-<version>-Linux.tar.gz   one folder: libDAVODEV.so, libDORVAK.so,
#                                                   kivhost, plcsim, include/davodev.h, README.md, docs/;
#                                                   the programs find their libraries beside them
#                  davodev_<version>_<arch>.deb     installed under /usr (needs dpkg-shlibdeps); with
#                                                   kivgate, its services and /etc/default/kivgate
#   Windows build: DAVODEV-<version>-win32.zip      driver/, tools/ (kivhost.exe, plcsim.exe, the log
#                                                   stand-in), include/, INSTALL.txt, README.md, docs/
# `cmake --build <native dir> --target package` makes the tarball and the
# Debian package, and the zip as well when the Windows side is cross-built
# beside it (KIV_WITH_WINDOWS).
set(KIV_ARCHIVE_COMPONENT kiv_archive)  # the tarball or the zip
set(KIV_DEB_COMPONENT kiv_deb)
# The Debian package's Maintainer, and the signer of its changelog entry.
set(KIV_DEB_MAINTAINER "DAVODEV developers <davodev@example.org>" CACHE STRING
  "Maintainer of the Debian package: Name <address>")

if(WIN32)
  # driver\ holds exactly what goes into the host's folder. The log stand-in
  # stays in tools\ with kivhost.exe, which needs it: copied into the host's
  # folder it would replace the host's own DORVAK.dll.
  install(TARGETS DAVODEV
    RUNTIME DESTINATION driver COMPONENT ${KIV_ARCHIVE_COMPONENT}
    ARCHIVE DESTINATION lib COMPONENT kiv_development)
  install(TARGETS kivhost plcsim DORVAK
    RUNTIME DESTINATION tools COMPONENT ${KIV_ARCHIVE_COMPONENT}
    ARCHIVE DESTINATION lib COMPONENT kiv_development)
  set(kiv_install_txt ${CMAKE_BINARY_DIR}/INSTALL.txt)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/INSTALL-windows.txt.in ${kiv_install_txt} @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${kiv_install_txt} DESTINATION . COMPONENT ${KIV_ARCHIVE_COMPONENT})
else()
  # The tarball: one folder, found through $ORIGIN.
  install(TARGETS DAVODEV DORVAK kivhost plcsim
    RUNTIME DESTINATION . COMPONENT ${KIV_ARCHIVE_COMPONENT}
    LIBRARY DESTINATION . COMPONENT ${KIV_ARCHIVE_COMPONENT})

  # The Debian package: the driver in the multiarch library folder, the log
  # stand-in in a private folder that kivhost's RUNPATH names and no host
  # searches, the programs on PATH.
  install(TARGETS DAVODEV LIBRARY DESTINATION ${KIV_INSTALL_LIBDIR} COMPONENT ${KIV_DEB_COMPONENT})
  install(TARGETS DORVAK LIBRARY DESTINATION ${KIV_INSTALL_PRIVATE_LIBDIR} COMPONENT ${KIV_DEB_COMPONENT})
  install(TARGETS kivhost plcsim RUNTIME DESTINATION bin COMPONENT ${KIV_DEB_COMPONENT})
  install(FILES ${CMAKE_SOURCE_DIR}/host_api/davodev.h DESTINATION include COMPONENT ${KIV_DEB_COMPONENT})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
    DESTINATION share/doc/davodev COMPONENT ${KIV_DEB_COMPONENT})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/davodev/docs COMPONENT ${KIV_DEB_COMPONENT}
    FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION share/doc/davodev/examples COMPONENT ${KIV_DEB_COMPONENT})

  # kivgate, where it is built, with its service: installed, not enabled, as
  # it needs a tag file and a port first, which /etc/default/kivgate gives
  # (a conffile, so that an upgrade keeps what was set there).
  if(TARGET kivgate)
    install(TARGETS kivgate RUNTIME DESTINATION bin COMPONENT ${KIV_DEB_COMPONENT})
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/kivgate.service ${CMAKE_SOURCE_DIR}/packaging/kivgate@.service
      DESTINATION /lib/systemd/system COMPONENT ${KIV_DEB_COMPONENT})
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/kivgate.default DESTINATION /etc/default RENAME kivgate
      COMPONENT ${KIV_DEB_COMPONENT})
  endif()

  # Debian's tools look for a native package's changelog as changelog.gz.
  # gzip -n leaves out the name and time, so the same entry gives the same
  # bytes on every build.
  set(kiv_changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${kiv_changelog} @ONLY)
  add_custom_command(OUTPUT ${kiv_changelog}.gz
    COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${kiv_changelog} ${kiv_changelog}.gz
    DEPENDS ${kiv_changelog}
    COMMENT "Debian changelog"
    VERBATIM)
  add_custom_target(deb_changelog ALL DEPENDS ${kiv_changelog}.gz)
  install(FILES ${kiv_changelog}.gz DESTINATION share/doc/davodev COMPONENT ${KIV_DEB_COMPONENT})

  # Man pages, when there are any: man/NAME.SECTION.scd (or man/NAME.scd for
  # section 1), turned into roff by scdoc.
  file(GLOB kiv_man_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.scd)
  if(kiv_man_sources)
    find_program(KIV_SCDOC scdoc)
    if(NOT KIV_SCDOC)
      message(WARNING "scdoc not found: the Debian package is made without its man pages")
      set(kiv_man_sources "")
    endif()
  endif()
  set(kiv_man_pages "")
  foreach(source IN LISTS kiv_man_sources)
    get_filename_component(page ${source} NAME_WLE)
    if(page MATCHES "^kivgate\\." AND NOT TARGET kivgate)
      continue()
    endif()
    if(page MATCHES "\\.([1-9])[a-z]*$")
      set(section ${CMAKE_MATCH_1})
    else()
      set(section 1)
      string(APPEND page ".1")
    endif()
    set(gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$1\" < \"$2\" | gzip -9n > \"$3\"" sh ${KIV_SCDOC} ${source} ${gz}
      DEPENDS ${source}
      COMMENT "Man page ${page}"
      VERBATIM)
    list(APPEND kiv_man_pages ${gz})
    install(FILES ${gz} DESTINATION share/man/man${section} COMPONENT ${KIV_DEB_COMPONENT})
  endforeach()
  if(kiv_man_pages)
    add_custom_target(man_pages ALL DEPENDS ${kiv_man_pages})
  endif()

  # Shell completions, when there are any: completion/ or <folder>/completion/
  # (kivhost/completion/, sim/completion/, gate/completion/), one file per program: NAME or
  # NAME.bash for bash, _NAME or NAME.zsh for zsh, NAME.fish for fish.
  file(GLOB kiv_completions LIST_DIRECTORIES false CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/completion/* ${CMAKE_SOURCE_DIR}/*/completion/*)
  foreach(script IN LISTS kiv_completions)
    get_filename_component(file ${script} NAME)
    set(name "")
    if(file MATCHES "^_([^.]+)$")
      set(name ${CMAKE_MATCH_1})
      set(shell zsh)
    elseif(file MATCHES "^([^.]+)\\.(zsh|fish|bash)$")
      set(name ${CMAKE_MATCH_1})
      set(shell ${CMAKE_MATCH_2})
    elseif(file MATCHES "^[^.]+$")
      set(name ${file})
      set(shell bash)
    endif()
    if(name STREQUAL "kivgate" AND NOT TARGET kivgate)
      # not built, not completed
    elseif(NOT name MATCHES "^(kivhost|plcsim|kivgate)$")
      message(WARNING "${script}: not a completion script of kivhost, plcsim or kivgate; not installed")
    elseif(shell STREQUAL "zsh")
      install(FILES ${script} DESTINATION share/zsh/vendor-completions RENAME _${name} COMPONENT ${KIV_DEB_COMPONENT})
    elseif(shell STREQUAL "fish")
      install(FILES ${script} DESTINATION share/fish/vendor_completions.d RENAME ${name}.fish COMPONENT ${KIV_DEB_COMPONENT})
    else()
      install(FILES ${script} DESTINATION share/bash-completion/completions RENAME ${name} COMPONENT ${KIV_DEB_COMPONENT})
    endif()
  endforeach()
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION . COMPONENT ${KIV_ARCHIVE_COMPONENT})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION docs COMPONENT ${KIV_ARCHIVE_COMPONENT} FILES_MATCHING PATTERN "*.md"
  PATTERN "*.png")
install(FILES ${CMAKE_SOURCE_DIR}/host_api/davodev.h DESTINATION include COMPONENT ${KIV_ARCHIVE_COMPONENT})

set(CPACK_PACKAGE_NAME DAVODEV)
set(CPACK_PACKAGE_VENDOR DAVODEV)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial driver for Unitronix PLCs (PCON_NET), with kivhost and plcsim")
# Broken into lines for the Debian package, which shows them as they are.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "DAVODEV is the driver a host supervisory program loads to talk to Unitronix\n"
  "PLCs over a serial line. kivhost runs the driver from a terminal (kivhost\n"
  "demo shows it at work against simulated stations), and plcsim simulates PLC\n"
  "stations on a pseudo-terminal or a serial port. The package also holds the\n"
  "header davodev.h for developers of hosts, the man pages and a tag file for\n"
  "kivhost scan.")
if(TARGET kivgate)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "\n"
    "kivgate serves the stations of a line over Modbus TCP and MQTT from one\n"
    "scan; its systemd service is installed but not enabled.")
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package_checksums.cmake)

set(CPACK_DEBIAN_PACKAGE_NAME davodev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # davodev_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KIV_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The driver sits in a folder the dynamic linker caches. dpkg runs ldconfig
# through the trigger, as Debian asks; CPack adds postinst and postrm scripts
# that run it as well and has no switch to leave them out, short of scripts
# of our own that would do nothing.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/triggers)
if(TARGET kivgate)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each generator takes its own component (cmake/package_generator.cmake,
# which sees only CPACK_ variables).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/package_generator.cmake)
set(CPACK_KIV_ARCHIVE_COMPONENT ${KIV_ARCHIVE_COMPONENT})
set(CPACK_KIV_DEB_COMPONENT ${KIV_DEB_COMPONENT})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
  find_program(KIV_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KIV_DPKG_SHLIBDEPS)
    list(APPEND CPACK_GENERATOR DEB)
  else()
    message(STATUS "dpkg-shlibdeps (dpkg-dev) not found: the package target makes no Debian package")
  endif()
  set(CPACK_SYSTEM_NAME Linux)
  if(KIV_WINDOWS_DIR)
    # The zip comes from the Windows build's own package rules, run with the
    # tarball so that one `package` makes them all.
    set(CPACK_KIV_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/kiv_windows_zip.cmake)
    file(WRITE ${CPACK_KIV_WINDOWS_ZIP}
      "execute_process(COMMAND \"${CMAKE_CPACK_COMMAND}\" -G ZIP --config \"${KIV_WINDOWS_DIR}/CPackConfig.cmake\"\n"
      "                        -B \"\${CPACK_PACKAGE_DIRECTORY}\" RESULT_VARIABLE status)\n"
      "if(NOT status EQUAL 0)\n"
      "  message(FATAL_ERROR \"the Windows zip was not made; is ${KIV_WINDOWS_DIR} built?\")\n"
      "endif()\n")
  endif()
endif()
include(CPack)
