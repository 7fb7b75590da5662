# The shared library rooms, each tested against its own library, none of
# them needing kivhost. Test names start with the room ("scan.", ...), so
# that ctest -R finds a room's tests.
function(kiv_add_room_gtest name room)
  kiv_add_gtest(${name} PREFIX "${room}." ${ARGN})
endfunction()

# The line protocol as the tools read it; the driver's own frames among
# what it takes apart (the host's value arrays pack their values).
kiv_add_room_gtest(wire_tests wire SOURCES wire_test.cpp LIBS kiv_wire davodev_core kiv_hosting)

kiv_add_room_gtest(common_tests common SOURCES common_test.cpp LIBS kiv_common)

# The driver's traces are printed by its own exchanges over the fake port.
kiv_add_room_gtest(analysis_tests analysis
  SOURCES analysis_trace_test.cpp analysis_monitor_test.cpp fake_serial_platform.cpp
  LIBS kiv_analysis davodev_core kiv_hosting)
target_compile_definitions(analysis_tests PRIVATE KIV_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")

kiv_add_room_gtest(hosting_tests hosting SOURCES hosting_test.cpp LIBS kiv_hosting)

# Tag files are checked by the driver's parser, with the hint the tools show
# for a refused address (fieldkit's).
kiv_add_room_gtest(scan_tests scan
  SOURCES scan_test.cpp scan_tags_test.cpp
  LIBS kiv_scan kiv_fieldkit davodev_core)
