# ARM hard-float Linux (Debian's arm-linux-gnueabihf cross compilers).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OSTREL_TRIPLET arm-linux-gnueabihf)
set(OSTREL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
