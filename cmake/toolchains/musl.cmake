# Shared by the musl toolchain files: static programs against Debian's
# musl-dev for OSTREL_MUSL (e.g. x86_64-linux-musl), compiled by the GNU
# compilers for OSTREL_TRIPLET.  musl has no C++ library of its own; the
# library and the program need none, only libstdc++'s header-only parts:
# C++ compiles see those, then musl's headers, then the compiler's own, and
# every program is linked by the C driver with musl's specs.
set(OSTREL_MUSL_SPECS /usr/lib/${OSTREL_MUSL}/musl-gcc.specs)
if(NOT EXISTS ${OSTREL_MUSL_SPECS})
  message(FATAL_ERROR "${OSTREL_MUSL_SPECS} missing: install musl-dev for ${OSTREL_MUSL} (tools/deps musl)")
endif()

set(CMAKE_C_COMPILER ${OSTREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREL_TRIPLET}-g++)

include(${CMAKE_CURRENT_LIST_DIR}/libstdcxx-headers.cmake)

# libstdc++'s configuration asks glibc's version macro, which musl lacks.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc${OSTREL_CXX_INCLUDES} -isystem /usr/include/${OSTREL_MUSL} -isystem ${OSTREL_GCC_INCLUDE} '-D__GLIBC_PREREQ(a,b)=0'")
set(CMAKE_C_FLAGS_INIT "-specs ${OSTREL_MUSL_SPECS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_C_COMPILER> -specs ${OSTREL_MUSL_SPECS} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# No GoogleTest for musl: the tests that need it run on the build machine's
# C library, against these programs (tools/musl).
set(OSTREL_GTEST OFF CACHE BOOL "Build the tests that need GoogleTest")

set(CMAKE_FIND_ROOT_PATH /usr/lib/${OSTREL_MUSL} /usr/include/${OSTREL_MUSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
