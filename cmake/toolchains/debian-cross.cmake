# Shared by the toolchain files: Debian's cross compilers for the target
# triplet OSTREL_TRIPLET, tests run under OSTREL_QEMU with the target's C
# library from the cross packages.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${OSTREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREL_TRIPLET}-g++)

# 64-bit file offsets and inode numbers: without them readdir and stat fail
# with EOVERFLOW on large values, e.g. ext4's directory offsets as a 64-bit
# host hands them through qemu-user.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

set(CMAKE_FIND_ROOT_PATH /usr/${OSTREL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREL_QEMU} -L /usr/${OSTREL_TRIPLET})
