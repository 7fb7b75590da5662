# The Windows side, cross-built by cmake/windows_side.cmake, checked here.
if(NOT KIV_WINDOWS_BIN)
  return()
endif()

add_test(NAME windows.dll_tables
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-dll-tables.sh ${KIV_WINDOWS_BIN}/DAVODEV.dll)

find_program(KIV_WINE wine)
if(NOT KIV_WINE)
  message(FATAL_ERROR "wine not found: the Windows programs cannot be run. "
    "Install wine and wine32:i386 (scripts/install-deps.sh installs everything), "
    "or leave the Windows side out with -DKIV_WITH_WINDOWS=OFF (scripts/test-all.sh: KIV_WITH_WINDOWS=OFF).")
endif()

set(KIV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(KIV_RUN_WINE ${CMAKE_CURRENT_SOURCE_DIR}/wine/run-wine.sh ${KIV_WINE_PREFIX})

# Runs a Windows program from the Windows build folder, so that it loads the
# DLLs beside it.
function(kiv_add_wine_test name program)
  add_test(NAME ${name} COMMAND ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/${program} ${ARGN}
           WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
  set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)
endfunction()

kiv_add_wine_test(windows.entry entry_wine_test.exe)

add_test(NAME windows.io_against_plcsim
  COMMAND ${CMAKE_COMMAND} -E env
    "PLCSIM=$<TARGET_FILE:plcsim> --stations 1 --set 1:W0010=0x1234 --set 1:W0011=0xABCD"
    PLCSIM_COM=com7
    ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/io_wine_test.exe COM7
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.io_against_plcsim PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)
# A healthy station beside one that refuses, on a line paced at 9600 baud.
add_test(NAME windows.io_healthy_beside_faulty
  COMMAND ${CMAKE_COMMAND} -E env
    "PLCSIM=$<TARGET_FILE:plcsim> --stations 1,2 --pace --fault 2:nak --set 1:W0010=0x1234"
    PLCSIM_COM=com7
    ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/io_wine_test.exe COM7 neighbour
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.io_healthy_beside_faulty PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)

# Serial layer: the Windows backend against an echoing pseudo-terminal
# linked as COM5 and COM12 of the prefix.
add_executable(serial_pty_peer wine/serial_pty_peer.cpp)
add_test(NAME windows.serial_port
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/serial_wine_run.sh $<TARGET_FILE:serial_pty_peer>
          ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/serial_wine_test.exe
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.serial_port PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)

# ---------------------------------------------------------------------------
# kivhost.exe: the banner, and a read against plcsim linked as COM9, with the
# driver's traces taken off standard output and shown on standard error, a
# frame a line.
set(KIVHOST_EXPECT ${CMAKE_CURRENT_SOURCE_DIR}/wine/kivhost_expect.sh)
add_test(NAME windows.kivhost_info
  COMMAND ${KIVHOST_EXPECT} 0 "out: K I V U X " "out:Version 7.00" "out:Channel block   4140 bytes"
          -- ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/kivhost.exe info
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.kivhost_info PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)

add_test(NAME windows.kivhost_demo_needs_two_ports
  COMMAND ${KIVHOST_EXPECT} 64 "err:kivhost: demo on Windows needs two COM ports joined by a null-modem cable"
          "err:kivhost --port COM3 demo --sim-port COM4"
          -- ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/kivhost.exe demo
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.kivhost_demo_needs_two_ports PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)

# decode needs no line: the trace captured for the golden test, read by kivhost.exe.
add_test(NAME windows.kivhost_decode
  COMMAND ${KIVHOST_EXPECT} 0 "out:#1    try 2  read  01W0010 x2           sum ok   -> good: 4660 (0x1234)"
          "out:#14   try 1  read  05W0010              sum ok   -> wrong station: 6 (06)"
          "out:2 (02)           1       1         4         4"
          -- ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/kivhost.exe decode ${CMAKE_CURRENT_SOURCE_DIR}/data/decode_every_outcome.trace
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.kivhost_decode PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)

add_test(NAME windows.kivhost_read
  COMMAND ${CMAKE_COMMAND} -E env
    "PLCSIM=$<TARGET_FILE:plcsim> --stations 1 --set 1:W0010=0x1234 --set 1:W0011=0xABCD"
    PLCSIM_COM=com9
    ${KIVHOST_EXPECT} 0 "out:01W0010     4660  0x1234" "out:01W0011    43981  0xABCD"
      "err:  TX      /01RW0010022D\\r" "err:  RX      /A01RW1234ABCD" "err:  log 16  REVIZ: 14 bytes will be send"
      -- ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}/kivhost.exe --port COM9 --trace read 01W0010 --count 2
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.kivhost_read PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)

# The field kit end to end on a null-modem pair of pseudo-terminals (socat)
# as COM3 and COM4: plcsim.exe and kivhost.exe, the demo on the pair, the
# monitor on a mirror.
add_test(NAME windows.field_kit
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/field_kit_wine.sh ${KIVHOST_EXPECT} ${KIV_RUN_WINE} ${KIV_WINDOWS_BIN}
          $<TARGET_FILE:plcsim>
  WORKING_DIRECTORY ${KIV_WINDOWS_BIN})
set_tests_properties(windows.field_kit PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)
