# Little-endian MIPS Linux (Debian's mipsel-linux-gnu cross compilers).
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(OSTREL_TRIPLET mipsel-linux-gnu)
set(OSTREL_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
