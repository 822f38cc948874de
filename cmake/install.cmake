# What `cmake --install` puts under CMAKE_INSTALL_PREFIX: the library with
# its SONAME links, the public header and its family headers, a pkg-config file and a CMake package
# (find_package(qdapi) gives qdapi::qdapi), and the library's manual page.
# qdctl and qdsim install themselves (tools/, sim/).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installed programs find the library beside them whatever the prefix
# (RUNPATH $ORIGIN/../lib), so that qdctl and qdsim run at once after an
# install, under /usr/local as under any --prefix.
file(RELATIVE_PATH QD_BIN_TO_LIB "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
set(QD_PROGRAM_RUNPATH "$ORIGIN/${QD_BIN_TO_LIB}")

target_include_directories(qdapi PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS qdapi EXPORT qdapiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qdapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qdapi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

install(EXPORT qdapiTargets NAMESPACE qdapi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qdapi)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qdapiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qdapiConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qdapi)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qdapiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qdapiConfig.cmake ${PROJECT_BINARY_DIR}/qdapiConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qdapi)

# The pkg-config file finds the prefix from where it lies, so that a copy
# installed elsewhere (cmake --install --prefix) is found where it is.
file(RELATIVE_PATH QD_PC_UP "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" QD_PC_UP "${QD_PC_UP}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QD_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QD_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qdapi.pc.in ${PROJECT_BINARY_DIR}/qdapi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qdapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The library's manual: qdapi(3), a page per family, and a page per exported
# function and variable that shows its family's page (man 3 tagdb_pop).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/man3/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  FILES_MATCHING PATTERN "*.3")

# Other programs find the library through the dynamic linker's cache: an
# install into the system's prefixes by root updates it, as packages do.
install(CODE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?$" AND NOT DEFINED ENV{DESTDIR})
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL "0")
      execute_process(COMMAND ldconfig RESULT_VARIABLE failed)
      if(failed)
        message(WARNING "ldconfig failed: run it before using the library")
      endif()
    else()
      message(STATUS "Installed under ${CMAKE_INSTALL_PREFIX}: run ldconfig as root before using the library")
    endif()
  endif()
]])
