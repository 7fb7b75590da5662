# Packages, made with CPack from the install rules below:
#   native build:  DAVODEV-<version>-Linux.tar.gz  (libDAVODEV.so, libDORVAK.so,
#                  kivhost, plcsim, include/davodev.h, README.md)
#   Windows build: DAVODEV-<version>-win32.zip     (DAVODEV.dll, DORVAK.dll,
#                  kivhost.exe, include/davodev.h, README.md)
# `cmake --build <native dir> --target package` makes the tarball, and the zip
# as well when the Windows side is cross-built beside it (KIV_WITH_WINDOWS).
# Everything sits in one folder: kivhost loads the driver from beside itself,
# and the driver finds the log library there.
set(KIV_PACKAGE_COMPONENT kiv_package)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION . COMPONENT ${KIV_PACKAGE_COMPONENT})
install(FILES ${CMAKE_SOURCE_DIR}/driver/davodev.h DESTINATION include COMPONENT ${KIV_PACKAGE_COMPONENT})

# Import libraries and the like stay out of the packages.
set(kiv_package_targets DAVODEV DORVAK kivhost)
if(TARGET plcsim)
  list(APPEND kiv_package_targets plcsim)
endif()
install(TARGETS ${kiv_package_targets}
  RUNTIME DESTINATION . COMPONENT ${KIV_PACKAGE_COMPONENT}
  LIBRARY DESTINATION . COMPONENT ${KIV_PACKAGE_COMPONENT}
  ARCHIVE DESTINATION lib COMPONENT kiv_development)

set(CPACK_PACKAGE_NAME DAVODEV)
set(CPACK_PACKAGE_VENDOR DAVODEV)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial driver for Unitronix PLCs (PCON_NET), with kivhost and plcsim")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL ${KIV_PACKAGE_COMPONENT})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME Linux)
  if(KIV_WINDOWS_DIR)
    # The zip comes from the Windows build's own package rules, run here so
    # that one `package` makes both.
    set(kiv_zip_script ${CMAKE_BINARY_DIR}/kiv_windows_zip.cmake)
    file(WRITE ${kiv_zip_script}
      "execute_process(COMMAND \"${CMAKE_CPACK_COMMAND}\" -G ZIP --config \"${KIV_WINDOWS_DIR}/CPackConfig.cmake\"\n"
      "                        -B \"\${CPACK_PACKAGE_DIRECTORY}\" RESULT_VARIABLE status)\n"
      "if(NOT status EQUAL 0)\n"
      "  message(FATAL_ERROR \"the Windows zip was not made; is ${KIV_WINDOWS_DIR} built?\")\n"
      "endif()\n")
    set(CPACK_PRE_BUILD_SCRIPTS ${kiv_zip_script})
  endif()
endif()
include(CPack)
