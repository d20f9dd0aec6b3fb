# 32-bit x86 Linux, run natively (g++-i686-linux-gnu):
#   cmake -S . -B build-i686 --toolchain cmake/i686-linux-gnu.cmake
set(CROSS_TRIPLE i686-linux-gnu)
set(CROSS_PROCESSOR i686)
set(CROSS_LOADER ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
