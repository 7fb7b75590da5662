# kivhost: a host program for the driver, from a terminal. It loads the
# driver at run time (beside itself, or where a package installs it) and
# shares the log stand-in with it.

# CLI11 (header-only, Debian libcli11-dev) reads the command line. The cross
# build must not see the build machine's /usr/include as a whole, so a
# folder of its own holds a link to CLI/ alone.
find_path(KIV_CLI11_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT KIV_CLI11_DIR)
  message(FATAL_ERROR "CLI11 (CLI/CLI.hpp) not found: install libcli11-dev (scripts/install-deps.sh)")
endif()
set(kiv_cli11_include ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${kiv_cli11_include})
file(CREATE_LINK ${KIV_CLI11_DIR}/CLI ${kiv_cli11_include}/CLI SYMBOLIC)
add_library(kiv_cli11 INTERFACE)
target_include_directories(kiv_cli11 SYSTEM INTERFACE ${kiv_cli11_include})

add_library(kivhost_core STATIC kivhost_options.cpp kivhost_text.cpp kivhost_hint.cpp kivhost_driver.cpp
  exchange_report.cpp trace_view.cpp address_area.cpp pcon_frame.cpp trace_reader.cpp frame_splitter.cpp tag_list.cpp
  block_planner.cpp trace_decode.cpp line_monitor.cpp scan_options.cpp scan_engine.cpp)
include(${CMAKE_SOURCE_DIR}/cmake/nlohmann_json.cmake)
target_include_directories(kivhost_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/driver)
target_link_libraries(kivhost_core PUBLIC DORVAK davodev_version ${CMAKE_DL_LIBS} kiv_nlohmann_json PRIVATE kiv_cli11 kiv_number_rules)
# Why a port does not open: Linux looks at the device the driver would open
# (named as the driver names it) and at /proc; Windows only says what to check.
# The monitor's listening port (Linux only) is found by the same naming.
if(WIN32)
  target_sources(kivhost_core PRIVATE port_check_win.cpp)
else()
  target_sources(kivhost_core PRIVATE port_check_posix.cpp serial_tap_posix.cpp
    ${CMAKE_SOURCE_DIR}/serial/serial_posix_name.cpp)
  target_include_directories(kivhost_core PRIVATE ${CMAKE_SOURCE_DIR}/serial)
endif()
# Installed, the driver is in the library folder of kivhost's prefix.
target_compile_definitions(kivhost_core PRIVATE KIVHOST_INSTALL_LIBDIR="${KIV_INSTALL_LIBDIR}")

add_executable(kivhost kivhost_main.cpp kivhost_commands.cpp kivhost_diag.cpp kivhost_scan.cpp scan_output.cpp
  stop_signals.cpp)
target_link_libraries(kivhost PRIVATE kivhost_core)
add_dependencies(kivhost DAVODEV)
if(WIN32)
  target_link_options(kivhost PRIVATE -static-libgcc -static-libstdc++ -static)
  kiv_add_version_info(kivhost "kivhost: the DAVODEV driver from a terminal")
else()
  # The demo serves its own stations; the simulator is Linux-only.
  target_sources(kivhost PRIVATE kivhost_demo.cpp)
  target_link_libraries(kivhost PRIVATE plcsim_lib)
  add_dependencies(kivhost plcsim)
  # The log stand-in beside kivhost (build, tarball), or installed in its
  # private folder (Debian package).
  set_target_properties(kivhost PROPERTIES BUILD_RPATH "\$ORIGIN"
    INSTALL_RPATH "\$ORIGIN;\$ORIGIN/../${KIV_INSTALL_PRIVATE_LIBDIR}")
endif()
