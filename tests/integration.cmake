# The driver against simulated stations on pseudo-terminals.
kiv_add_gtest(driver_integration_tests
  SOURCES io_integration_test.cpp lifecycle_test.cpp
  LIBS davodev_core DORVAK plcsim_lib)
