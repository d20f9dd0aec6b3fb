# 32-bit ARM Linux with hardware floating point, run under qemu-arm
# (g++-arm-linux-gnueabihf, qemu-user, qemu-user-binfmt):
#   cmake -S . -B build-armhf --toolchain cmake/arm-linux-gnueabihf.cmake
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_PROCESSOR armv7l)
set(CROSS_LOADER ld-linux-armhf.so.3)
set(CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
