# kivgate: its parts, then the gateway against a real broker. Test names
# start with "kivgate." so that ctest -R kivgate finds them all.

# The MQTT side: the payload rules, and the bridge against a mosquitto the
# test starts on a free loopback port.
add_executable(kivgate_mqtt_tests kivgate_mqtt_test.cpp)
target_link_libraries(kivgate_mqtt_tests PRIVATE kiv_gate kiv_nlohmann_json PkgConfig::MOSQUITTO GTest::gtest
  GTest::gtest_main Threads::Threads)
target_include_directories(kivgate_mqtt_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(kivgate_mqtt_tests TEST_PREFIX "kivgate." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
