# Shared by the uClibc-ng toolchain files: static programs against the
# uClibc-ng that tools/uclibc installs into OSTREL_UCLIBC_SYSROOT, compiled
# by the GNU compilers for OSTREL_TRIPLET.  As with musl, C++ compiles see
# libstdc++'s header-only parts (configured as for uClibc-ng by uclibc/),
# then uClibc-ng's and the kernel's headers, then the compiler's own; every
# program is linked by the C driver from uClibc-ng's start files and libc.a.
set(OSTREL_UCLIBC_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../../build-uclibc-${OSTREL_UCLIBC_TARGET}/sysroot
  CACHE PATH "uClibc-ng as tools/uclibc installs it")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSTREL_UCLIBC_SYSROOT)
set(lib ${OSTREL_UCLIBC_SYSROOT}/usr/lib)
if(NOT EXISTS ${lib}/libc.a)
  message(FATAL_ERROR "${lib}/libc.a missing: tools/uclibc builds uClibc-ng")
endif()

set(CMAKE_C_COMPILER ${OSTREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREL_TRIPLET}-g++)
include(${CMAKE_CURRENT_LIST_DIR}/libstdcxx-headers.cmake)
foreach(file crtbeginT.o crtend.o libgcc.a libgcc_eh.a)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${file}
    OUTPUT_VARIABLE ${file} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()

set(includes "-isystem ${OSTREL_UCLIBC_SYSROOT}/usr/include -isystem ${OSTREL_GCC_INCLUDE}")
set(CMAKE_C_FLAGS_INIT "-nostdinc ${includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${CMAKE_CURRENT_LIST_DIR}/uclibc${OSTREL_CXX_INCLUDES} ${includes}")
set(link "<CMAKE_C_COMPILER> -static -nostdlib <FLAGS> <LINK_FLAGS> ${lib}/crt1.o ${lib}/crti.o ${crtbeginT.o} <OBJECTS>")
set(libs "-Wl,--start-group ${lib}/libc.a ${libgcc.a} ${libgcc_eh.a} -Wl,--end-group ${crtend.o} ${lib}/crtn.o")
set(CMAKE_C_LINK_EXECUTABLE "${link} <CMAKE_C_LINK_FLAGS> -o <TARGET> <LINK_LIBRARIES> ${libs}")
set(CMAKE_CXX_LINK_EXECUTABLE "${link} <CMAKE_CXX_LINK_FLAGS> -o <TARGET> <LINK_LIBRARIES> ${libs}")

# No C++ runtime, so no GoogleTest: the tests that need it run on the build
# machine's C library, against these programs (tools/uclibc).
set(OSTREL_GTEST OFF CACHE BOOL "Build the tests that need GoogleTest")

set(CMAKE_FIND_ROOT_PATH ${OSTREL_UCLIBC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
