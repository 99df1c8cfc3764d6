# What the two ARM Linux toolchain files share: the distribution's cross
# compiler for `vesk_cross`, its libraries as the only ones found, and qemu-user
# (`vesk_qemu`) running whatever the build executes (test discovery, the tests).
# The sysroot lets the dynamically linked test programs find their libraries.
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${vesk_cross}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${vesk_cross}-g++ REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${vesk_cross})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VESK_QEMU NAMES ${vesk_qemu} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VESK_QEMU} -L /usr/${vesk_cross})
