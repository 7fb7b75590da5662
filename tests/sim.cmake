# The PLC simulator: its protocol on strings, its line over pseudo-terminals,
# and the plcsim program.
kiv_add_gtest(plcsim_tests
  SOURCES plcsim_station_test.cpp plcsim_line_test.cpp plcsim_link_test.cpp
  LIBS plcsim_lib davodev_version)
add_dependencies(plcsim_tests plcsim)
