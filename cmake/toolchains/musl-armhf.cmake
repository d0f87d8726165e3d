# ARM hard-float Linux with musl, statically linked; runs under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OSTREL_TRIPLET arm-linux-gnueabihf)
set(OSTREL_MUSL arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
