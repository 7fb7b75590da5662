# Serial port layer: its algorithms on the fake platform and its time rules,
# the Linux backend on real pseudo-terminals.
kiv_add_gtest(serial_port_test
  SOURCES serial_port_test.cpp serial_timing_test.cpp fake_serial_platform.cpp
  LIBS davodev_core)

kiv_add_gtest(serial_posix_test
  SOURCES serial_posix_test.cpp
  LIBS davodev_core)
