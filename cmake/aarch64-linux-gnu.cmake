# 64-bit ARM Linux.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VESK_PACKAGE_HOST aarch64)
set(vesk_cross aarch64-linux-gnu)
set(vesk_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
