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

# Manual pages: ostrel(3), one page per group of functions, and for each
# function named in a group page's NAME section a page that sources it, so
# that "man cgi_get_value" finds its group.
set(OSTREL_MAN3 ostrel ostrel_request ostrel_readers ostrel_limits ostrel_decode ostrel_cookies
  ostrel_response ostrel_trace)
foreach(page ${OSTREL_MAN3})
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/man/${page}.3)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
  install(FILES ${src} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT library)
  file(STRINGS ${src} names REGEX "^\\.Nm cgi_[a-z_]+")
  foreach(line ${names})
    string(REGEX MATCH "cgi_[a-z_]+" fn "${line}")
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${fn}.3
      CONTENT ".so man3/${page}.3\n")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${fn}.3
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT library)
  endforeach()
endforeach()
install(FILES man/faxupload.cgi.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT program)
