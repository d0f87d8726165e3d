# Little-endian MIPS Linux with musl, statically linked; runs under qemu-mipsel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(OSTREL_TRIPLET mipsel-linux-gnu)
set(OSTREL_MUSL mipsel-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
