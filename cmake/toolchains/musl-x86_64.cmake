# x86-64 Linux with musl, statically linked; runs on this machine as it is.
set(OSTREL_TRIPLET x86_64-linux-gnu)
set(OSTREL_MUSL x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
