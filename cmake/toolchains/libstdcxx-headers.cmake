# Shared by the toolchain files for C libraries that Debian's g++ was not
# built for (musl, uClibc-ng): the library and the programs need no C++
# runtime, only libstdc++'s header-only parts.  Sets OSTREL_CXX_INCLUDES
# (libstdc++'s include directories, as -isystem flags, in the C++ compiler's
# order) and OSTREL_GCC_INCLUDE (the compiler's own headers), which the C
# library's headers go between.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -v -x c++ /dev/null
  OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} not found")
endif()
string(REGEX MATCH "#include <\\.\\.\\.> search starts here:\n(.*)End of search list" search "${search}")
string(REPLACE "\n" ";" search "${CMAKE_MATCH_1}")
set(OSTREL_CXX_INCLUDES "")
foreach(dir IN LISTS search)
  string(STRIP "${dir}" dir)
  if(dir MATCHES "/c\\+\\+/")
    get_filename_component(dir "${dir}" REALPATH)
    string(APPEND OSTREL_CXX_INCLUDES " -isystem ${dir}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE OSTREL_GCC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)
