# kivhost: a host program for the driver, from a terminal. It loads the
# driver at run time from beside itself and shares the log stand-in with it.
add_library(kivhost_core STATIC kivhost_options.cpp kivhost_text.cpp kivhost_hint.cpp kivhost_driver.cpp)
target_include_directories(kivhost_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/driver)
target_link_libraries(kivhost_core PUBLIC DORVAK ${CMAKE_DL_LIBS})

add_executable(kivhost kivhost_main.cpp kivhost_commands.cpp)
target_link_libraries(kivhost PRIVATE kivhost_core)
add_dependencies(kivhost DAVODEV)
if(WIN32)
  target_link_options(kivhost PRIVATE -static-libgcc -static-libstdc++ -static)
else()
  # The demo serves its own stations; the simulator is Linux-only.
  target_sources(kivhost PRIVATE kivhost_demo.cpp)
  target_link_libraries(kivhost PRIVATE plcsim_lib)
  add_dependencies(kivhost plcsim)
  set_target_properties(kivhost PROPERTIES BUILD_RPATH "\$ORIGIN" INSTALL_RPATH "\$ORIGIN")
endif()
