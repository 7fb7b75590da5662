# nlohmann-json (header-only) for the tools' JSON, the Windows cross build
# included. The cross build must not see the build machine's /usr/include,
# so only the library's own folder is linked into a folder of the build.
find_path(KIV_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT KIV_NLOHMANN_JSON_INCLUDE)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev (scripts/install-deps.sh does)")
endif()
set(KIV_NLOHMANN_JSON_DIR ${CMAKE_BINARY_DIR}/nlohmann-json)
file(MAKE_DIRECTORY ${KIV_NLOHMANN_JSON_DIR})
file(CREATE_LINK ${KIV_NLOHMANN_JSON_INCLUDE}/nlohmann ${KIV_NLOHMANN_JSON_DIR}/nlohmann SYMBOLIC)
add_library(kiv_nlohmann_json INTERFACE)
target_include_directories(kiv_nlohmann_json SYSTEM INTERFACE ${KIV_NLOHMANN_JSON_DIR})
