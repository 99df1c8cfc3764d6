# Cross-compiles the programs for 64-bit Windows with MinGW-w64 (the POSIX
# threads flavour, which the test framework's threading needs), and runs what
# the build executes (test discovery, the tests themselves) under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(vesk_mingw x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${vesk_mingw}-gcc-posix ${vesk_mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${vesk_mingw}-g++-posix ${vesk_mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${vesk_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${vesk_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Wine prefix lives in the build folder: a run leaves nothing elsewhere.
set(CMAKE_CROSSCOMPILING_EMULATOR env VESK_WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix
    ${CMAKE_CURRENT_LIST_DIR}/wine-run)
