# 32-bit ARM Linux, hard-float ABI: the target's own boards.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VESK_PACKAGE_HOST armhf)
set(vesk_cross arm-linux-gnueabihf)
set(vesk_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
