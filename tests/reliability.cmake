# Reliability: a fault-injection soak against the simulator, bad host input,
# descriptors and the line itself, four channels on four threads, and the
# driver's heap use. The fuzz targets live in fuzz/; scripts/reliability-checks.sh
# runs the longer checks (fuzzing, ThreadSanitizer, valgrind).

# The soak is a program of its own (its options choose the length and the
# seed); ctest runs the short version.
add_executable(soak_exchanges soak_exchanges.cpp)
target_link_libraries(soak_exchanges PRIVATE davodev_core DORVAK plcsim_lib Threads::Threads)
set_target_properties(soak_exchanges PROPERTIES BUILD_RPATH "\$ORIGIN")
add_test(NAME soak_short COMMAND soak_exchanges --exchanges 3000 --seed 1 --fault-rate 0.15)
set_tests_properties(soak_short PROPERTIES TIMEOUT 900)

# Descriptors over many opens and closes, the line vanishing, bad host input.
kiv_add_gtest(reliability_tests
  SOURCES reliability_resources_test.cpp reliability_line_test.cpp bad_input_test.cpp
  LIBS davodev_core DORVAK plcsim_lib)

# Four channels on four threads; scripts/reliability-checks.sh runs it again
# under ThreadSanitizer.
kiv_add_gtest(reliability_threads_test
  SOURCES reliability_threads_test.cpp
  LIBS davodev_core DORVAK plcsim_lib)

# The driver's heap use, counted by replacing the allocator: not with the
# sanitizers, which replace it themselves.
if(NOT KIV_SANITIZE AND NOT KIV_TSAN AND NOT KIV_FUZZ)
  kiv_add_gtest(reliability_alloc_test
    SOURCES reliability_alloc_test.cpp
    LIBS davodev_core DORVAK plcsim_lib)
endif()

# The fuzz targets' checks over their seed inputs, in every build; the fuzz
# preset builds the same sources with libFuzzer and explores from there.
set(replayed address_parser_fuzz decode_reply_fuzz exchange_fuzz lifecycle_fuzz trace_dump_fuzz tag_list_fuzz)
if(TARGET kiv_gate)
  list(APPEND replayed modbus_request_fuzz mqtt_payload_fuzz)
endif()
foreach(target ${replayed})
  add_executable(replay_${target} ${CMAKE_SOURCE_DIR}/fuzz/${target}.cpp fuzz_replay_main.cpp fake_serial_platform.cpp)
  target_link_libraries(replay_${target} PRIVATE davodev_core DORVAK kiv_wire Threads::Threads)
  set_target_properties(replay_${target} PROPERTIES BUILD_RPATH "\$ORIGIN")
  if(target STREQUAL tag_list_fuzz)
    target_link_libraries(replay_${target} PRIVATE kiv_scan)
  endif()
  if(target MATCHES "^(modbus_request|mqtt_payload)_fuzz$")
    target_link_libraries(replay_${target} PRIVATE kiv_gate)
  endif()
  add_test(NAME fuzz_seeds_${target} COMMAND replay_${target} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target})
endforeach()
