# x86-64 Linux with uClibc-ng (tools/uclibc), statically linked; runs on
# this machine as it is.
set(OSTREL_TRIPLET x86_64-linux-gnu)
set(OSTREL_UCLIBC_TARGET x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/uclibc.cmake)
