# Serial port layer: its algorithms on the fake platform, the Linux backend
# on real pseudo-terminals.
kiv_add_gtest(serial_port_test
  SOURCES serial_port_test.cpp fake_serial_platform.cpp
  LIBS davodev_core)

kiv_add_gtest(serial_posix_test
  SOURCES serial_posix_test.cpp
  LIBS davodev_core)
