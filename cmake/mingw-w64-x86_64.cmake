# Cross-builds veldrin.exe for 64-bit Windows with mingw-w64 on Linux:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The programs run under wine (the tests through CMake's cross-compiling emulator).
set(VELDRIN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

find_program(VELDRIN_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 NO_DEFAULT_PATH)
find_program(VELDRIN_WINE64 NAMES wine64 wine)
if(VELDRIN_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRIN_WINE64})
endif()
