# 64-bit big-endian IBM Z Linux, run under qemu-s390x (g++-s390x-linux-gnu,
# qemu-user, qemu-user-binfmt):
#   cmake -S . -B build-s390x --toolchain cmake/s390x-linux-gnu.cmake
set(CROSS_TRIPLE s390x-linux-gnu)
set(CROSS_PROCESSOR s390x)
set(CROSS_LOADER ld64.so.1)
set(CROSS_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
