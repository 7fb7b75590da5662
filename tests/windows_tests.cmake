# Windows test programs, run under wine by the native build (tests/wine.cmake).
function(kiv_add_wine_program name)
  add_executable(${name} ${ARGN})
  target_link_options(${name} PRIVATE -static-libgcc -static-libstdc++ -static)
endfunction()

kiv_add_wine_program(entry_wine_test wine/entry_wine_test.cpp)
add_dependencies(entry_wine_test DAVODEV DORVAK)

kiv_add_wine_program(io_wine_test wine/io_wine_test.cpp)
add_dependencies(io_wine_test DAVODEV DORVAK)

# Serial layer: its Windows backend, built straight into the program, and its
# DCB translation over the fake platform.
kiv_add_wine_program(serial_wine_test wine/serial_wine_test.cpp
  ${CMAKE_SOURCE_DIR}/serial/serial_port.cpp ${CMAKE_SOURCE_DIR}/serial/serial_platform_win.cpp
  ${CMAKE_SOURCE_DIR}/serial/serial_win_name.cpp
  ${CMAKE_SOURCE_DIR}/serial/serial_read_plan.cpp fake_serial_platform.cpp)
