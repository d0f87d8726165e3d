# Installation: the library with its header, pkg-config file and CMake package
# (find_package(ostrel) gives ostrel::ostrel), and the program under
# libexec/cgi-bin, where a web server's CGI directory can point or link to it.
#   cmake --install <build> --prefix <dir> [--strip] [--component library|program]
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OSTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ostrel)

install(TARGETS ostrel EXPORT ostrelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES cgi/cgi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cgi COMPONENT library)
install(EXPORT ostrelTargets NAMESPACE ostrel:: DESTINATION ${OSTREL_CMAKE_DIR}
  COMPONENT library)

configure_package_config_file(cmake/ostrelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ostrelConfig.cmake
  INSTALL_DESTINATION ${OSTREL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ostrelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrelConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ostrelConfigVersion.cmake
  DESTINATION ${OSTREL_CMAKE_DIR} COMPONENT library)

# The .pc file finds the prefix from its own place, so it stays right when
# the tree is installed with --prefix or moved (e.g. into a target sysroot).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(OSTREL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(OSTREL_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(OSTREL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(OSTREL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/ostrel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ostrel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)

install(TARGETS faxupload.cgi
  RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/cgi-bin COMPONENT program)
