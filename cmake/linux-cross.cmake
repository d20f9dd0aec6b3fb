# What the Linux cross toolchain files share. Each sets, before including
# this file, CROSS_TRIPLE (the GNU triple of Debian's g++-TRIPLE package),
# CROSS_PROCESSOR, CROSS_LOADER (the target's dynamic loader) and, for a
# host the kernel cannot run itself, CROSS_EMULATOR (a qemu-user program).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs name the target's loader and libraries where Debian's cross
# packages put them, so they run on this machine as they are: natively, or
# through qemu-user's binfmt handler, the tool that the tests start included.
# An RPATH, not a RUNPATH: the loader searches it for the libraries' own
# libraries too, as libstdc++'s libm.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/usr/${CROSS_TRIPLE}/lib/${CROSS_LOADER} -Wl,-rpath,/usr/${CROSS_TRIPLE}/lib -Wl,--disable-new-dtags")
if(CROSS_EMULATOR)
  find_program(CROSS_EMULATOR_PATH ${CROSS_EMULATOR} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_EMULATOR_PATH})
endif()
