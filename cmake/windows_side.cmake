# Cross-builds the Windows side (DAVODEV.dll, the log stand-in, the Windows
# test programs) into ${CMAKE_BINARY_DIR}/windows, so one native build and
# one ctest cover both. Asked for and impossible is an error, not a skip: a
# build that quietly left the Windows side out would pass its tests without it.
find_program(KIV_MINGW_CXX i686-w64-mingw32-g++)
if(NOT KIV_MINGW_CXX)
  message(FATAL_ERROR "i686-w64-mingw32-g++ not found: the Windows side cannot be built. "
    "Install g++-mingw-w64-i686 (scripts/install-deps.sh installs everything), "
    "or leave the Windows side out with -DKIV_WITH_WINDOWS=OFF (scripts/test-all.sh: KIV_WITH_WINDOWS=OFF).")
endif()

include(ExternalProject)
set(KIV_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
set(KIV_WINDOWS_BIN ${KIV_WINDOWS_DIR}/bin)
ExternalProject_Add(windows_side
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${KIV_WINDOWS_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-i686-mingw.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DKIV_WERROR=${KIV_WERROR}
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")
