# Header-only libraries from the build machine's packages, for the tools, the
# Windows cross build included. The cross build must not see the build
# machine's /usr/include as a whole, so a folder of the build holds a link to
# the library's own folder alone.
function(kiv_header_only_library target header folder package)
  find_path(${target}_INCLUDE ${header} PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${target}_INCLUDE)
    message(FATAL_ERROR "${header} not found: install ${package} (scripts/install-deps.sh does)")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/${target}-include)
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${${target}_INCLUDE}/${folder} ${dir}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${dir})
endfunction()
