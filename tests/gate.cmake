# kivgate: its parts, then the program against simulated stations, a broker
# and Modbus clients. Test names start with "kivgate." (ctest -R kivgate).
function(kivgate_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES BUILD_RPATH "\$ORIGIN")
  gtest_discover_tests(${name} TEST_PREFIX "kivgate." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# The Modbus request rules, and the server on loopback with a libmodbus client.
kivgate_add_gtest(kivgate_modbus_tests SOURCES kivgate_modbus_test.cpp LIBS kiv_gate)
