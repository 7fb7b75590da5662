# kivhost: its own parts, then the program run against simulated stations.
# Test names start with "kivhost." so that ctest -R kivhost finds them all.
function(kivhost_add_gtest name)
  kiv_add_gtest(${name} PREFIX "kivhost." ${ARGN})
endfunction()

kivhost_add_gtest(kivhost_unit_tests SOURCES kivhost_unit_test.cpp LIBS kivhost_cli)
add_dependencies(kivhost_unit_tests DAVODEV)

# What stays bounded however long kivhost runs: a scan with every station
# set aside, and decode run as a program.
kivhost_add_gtest(kivhost_bounds_tests SOURCES kivhost_bounds_test.cpp LIBS kivhost_cli)
target_compile_definitions(kivhost_bounds_tests PRIVATE KIV_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
  KIVHOST_PATH="$<TARGET_FILE:kivhost>")
add_dependencies(kivhost_bounds_tests kivhost)

# With the bash completions of kivhost and plcsim, run in a plain bash, and
# the hostile tag files kivhost refuses, every output on a full device, and
# the empty values both programs refuse.
kivhost_add_gtest(kivhost_process_tests SOURCES kivhost_process_test.cpp shell_completion_test.cpp
  kivhost_outputs_test.cpp kivhost_tag_file_test.cpp empty_value_test.cpp
  LIBS plcsim_lib davodev_version kiv_nlohmann_json)
target_compile_definitions(kivhost_process_tests PRIVATE KIVHOST_PATH="$<TARGET_FILE:kivhost>"
  PLCSIM_PATH="$<TARGET_FILE:plcsim>" KIV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(kivhost_process_tests kivhost plcsim)

# On a paced line, where replies take the time a real line gives them: the
# verdicts kivhost gives (plcsim in the test), and a port lost and back
# (plcsim run as a program, unplugged and replugged).
kivhost_add_gtest(kivhost_paced_tests SOURCES kivhost_paced_test.cpp kivhost_lost_port_test.cpp LIBS plcsim_lib)
target_compile_definitions(kivhost_paced_tests PRIVATE KIVHOST_PATH="$<TARGET_FILE:kivhost>"
  PLCSIM_PATH="$<TARGET_FILE:plcsim>")
add_dependencies(kivhost_paced_tests kivhost plcsim)

# The packages, made by cpack from this build; with the Windows side built
# beside it, the same run makes the zip, whose DAVODEV.dll is checked too and
# whose kivhost.exe runs under wine.
if(KIV_WINDOWS_DIR)
  find_program(KIV_WINE wine)
  set(kivhost_package_windows windows)
  if(KIV_WINE)
    list(APPEND kivhost_package_windows ${CMAKE_CURRENT_SOURCE_DIR}/wine/run-wine.sh ${CMAKE_BINARY_DIR}/wineprefix)
  endif()
  set(kivhost_package_locks kivhost_package wine)
else()
  set(kivhost_package_windows "")
  set(kivhost_package_locks kivhost_package)
endif()
add_test(NAME kivhost.packages
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/kivhost_package.sh ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
          ${PROJECT_VERSION} ${KIV_INSTALL_LIBDIR} ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-dll-tables.sh
          ${kivhost_package_windows})
if(TARGET kivgate)
  set(kivhost_package_gate 1)
else()
  set(kivhost_package_gate 0)
endif()
set_tests_properties(kivhost.packages PROPERTIES RESOURCE_LOCK "${kivhost_package_locks}" TIMEOUT 600
  ENVIRONMENT KIVGATE=${kivhost_package_gate})
