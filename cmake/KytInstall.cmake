# Installation of libkyt.
#
#   cmake --install BUILD [--prefix DIR] [--component C]
#
# Components: runtime (libkyt.so.1), development (header, libkyt.so, kyt.pc,
# CMake package), tools (kyt_test, kyt_sim, kyt_probe, kyt_sandbox, their man pages) and, from pcsc/,
# pcsc (the IFD handler).  Debian packages are made from debian/ with
# dpkg-buildpackage (see the README), not here.
#
# Only the shared library, its header and package files, the two programs and
# their man pages are installed: never the internal static library, the test
# programs or GoogleTest.

# Debian's multiarch folder for the target (cross toolchains name it).
if(DEFINED KYT_MULTIARCH AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${KYT_MULTIARCH} CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KYT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kyt)

# Outside the system prefix the programs find the library next to them.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  file(RELATIVE_PATH KYT_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(kyt_test kyt_probe PROPERTIES INSTALL_RPATH "$ORIGIN/${KYT_BIN_TO_LIB}")
endif()

install(TARGETS kyt EXPORT kytTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/kyt.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

configure_file(${CMAKE_CURRENT_LIST_DIR}/kyt.pc.in ${PROJECT_BINARY_DIR}/kyt.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kyt.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(EXPORT kytTargets NAMESPACE kyt:: FILE kytTargets.cmake
  DESTINATION ${KYT_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kytConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kytConfig.cmake INSTALL_DESTINATION ${KYT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kytConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kytConfig.cmake ${PROJECT_BINARY_DIR}/kytConfigVersion.cmake
  DESTINATION ${KYT_CMAKE_DIR} COMPONENT development)

install(TARGETS kyt_test kyt_sim kyt_probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kyt_test.1 ${PROJECT_SOURCE_DIR}/docs/man/kyt_sim.1
  ${PROJECT_SOURCE_DIR}/docs/man/kyt_probe.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
# kyt_sandbox is built with the PC/SC driver it runs.
if(TARGET kyt_sandbox)
  install(TARGETS kyt_sandbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kyt_sandbox.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
