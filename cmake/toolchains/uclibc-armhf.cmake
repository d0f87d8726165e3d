# ARM hard-float Linux with uClibc-ng (tools/uclibc), statically linked;
# runs under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OSTREL_TRIPLET arm-linux-gnueabihf)
set(OSTREL_UCLIBC_TARGET armhf)
include(${CMAKE_CURRENT_LIST_DIR}/uclibc.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
