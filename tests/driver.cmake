# The driver's pure parts, linked from its objects.
kiv_add_gtest(driver_unit_tests
  SOURCES address_parser_test.cpp frames_test.cpp entry_test.cpp trace_dump_test.cpp
  LIBS davodev_core DORVAK)

# The shared library as a host loads it.
kiv_add_gtest(driver_library_tests
  SOURCES library_test.cpp
  LIBS DORVAK ${CMAKE_DL_LIBS})
add_dependencies(driver_library_tests DAVODEV)
target_compile_definitions(driver_library_tests PRIVATE TEST_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
