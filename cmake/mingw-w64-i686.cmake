# Cross-builds veldrin.exe for 32-bit Windows with mingw-w64 on Linux:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# No emulator: a 64-bit-only kernel cannot run 32-bit programs, so this build is built, not run.
set(VELDRIN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
