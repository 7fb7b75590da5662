# kivgate: its parts, then the gateway against a real broker. Test names
# start with "kivgate." so that ctest -R kivgate finds them all.
function(kivgate_add_gtest name)
  kiv_add_gtest(${name} PREFIX "kivgate." ${ARGN})
endfunction()

# The tag map, the program's --plan, and its help, man page and completion.
kivgate_add_gtest(kivgate_config_tests SOURCES kivgate_config_test.cpp LIBS kiv_gate)
target_compile_definitions(kivgate_config_tests PRIVATE KIVGATE_PATH="$<TARGET_FILE:kivgate>"
  PLCSIM_PATH="$<TARGET_FILE:plcsim>" KIVHOST_PATH="$<TARGET_FILE:kivhost>"
  KIV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(kivgate_config_tests kivgate plcsim kivhost)

# The MQTT side: the payload rules and Home Assistant's discovery configs,
# and the bridge against a mosquitto the test starts on a free loopback port.
kivgate_add_gtest(kivgate_mqtt_tests SOURCES kivgate_mqtt_test.cpp kivgate_ha_test.cpp
  LIBS kiv_gate kiv_nlohmann_json PkgConfig::MOSQUITTO)

# The Modbus request rules, and the server on loopback with a libmodbus client.
kivgate_add_gtest(kivgate_modbus_tests SOURCES kivgate_modbus_test.cpp LIBS kiv_gate)

# The program end to end: plcsim on a paced line, a real broker, and a
# libmodbus client, each as its users would run them.
# Beside them, the line owner's own rules (a write's failure, the values' age).
kivgate_add_gtest(kivgate_line_tests SOURCES kivgate_line_test.cpp
  LIBS plcsim_lib kiv_gate kiv_nlohmann_json PkgConfig::MOSQUITTO PkgConfig::LIBMODBUS)
target_compile_definitions(kivgate_line_tests PRIVATE KIVGATE_PATH="$<TARGET_FILE:kivgate>"
  KIVHOST_PATH="$<TARGET_FILE:kivhost>" PLCSIM_PATH="$<TARGET_FILE:plcsim>")
add_dependencies(kivgate_line_tests kivgate plcsim)

# Typed values end to end through a Modbus client of another make: Debian's
# pymodbus, under Debian's python3 where it is installed (skipped without it).
find_program(KIV_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT KIV_DEBIAN_PYTHON)
  set(KIV_DEBIAN_PYTHON python3)
endif()
add_test(NAME kivgate.pymodbus_typed_values
  COMMAND ${KIV_DEBIAN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/kivgate_typed_values.py --bin ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(kivgate.pymodbus_typed_values PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

# kivgate as systemd runs it: credentials, start-up files, notifications,
# the units.
kivgate_add_gtest(kivgate_service_tests SOURCES kivgate_service_test.cpp LIBS kivgate_command_line kiv_gate)
target_compile_definitions(kivgate_service_tests PRIVATE KIVGATE_PATH="$<TARGET_FILE:kivgate>"
  PLCSIM_PATH="$<TARGET_FILE:plcsim>" KIV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(kivgate_service_tests kivgate plcsim)

# The status page in a real browser (headless Chromium), /metrics through
# the Prometheus client's parser, /api/status against the line: Debian's
# python3, where those modules are installed. Skipped (77) without them.
find_program(KIV_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(KIV_SYSTEM_PYTHON)
  add_test(NAME kivgate.page
    COMMAND ${KIV_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tests/kivgate_page_check.py --bin ${CMAKE_BINARY_DIR}/bin
      --screenshot ${CMAKE_BINARY_DIR}/status-page.png)
  set_tests_properties(kivgate.page PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
endif()
