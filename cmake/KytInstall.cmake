# Installation and Debian packages of libkyt.
#
#   cmake --install BUILD [--prefix DIR]   installs into the usual places
#   cpack --config BUILD/CPackConfig.cmake builds libkyt1, libkyt-dev and
#                                          kyt-tools for the target architecture
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
  set_target_properties(kyt_test PROPERTIES INSTALL_RPATH "$ORIGIN/${KYT_BIN_TO_LIB}")
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

install(TARGETS kyt_test kyt_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kyt_test.1 ${PROJECT_SOURCE_DIR}/docs/man/kyt_sim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# ---- Debian packages ---------------------------------------------------------

if(NOT DEFINED KYT_DEBIAN_ARCHITECTURE)
  find_program(KYT_DPKG dpkg)
  if(KYT_DPKG)
    execute_process(COMMAND ${KYT_DPKG} --print-architecture
      OUTPUT_VARIABLE KYT_DEBIAN_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(KYT_DEBIAN_ARCHITECTURE amd64)
  else()
    set(KYT_DEBIAN_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kyt)
set(CPACK_PACKAGE_VENDOR "libkyt")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libkyt maintainers <libkyt@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver library for KYT serial smart-card readers")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KYT_DEBIAN_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/libkyt")

# Dependencies are named by hand so that cross builds, whose target
# libraries dpkg does not know, get the same ones as native builds.  The
# library needs glibc 2.34 (threads in libc); the programs also use the
# C++ runtime of GCC 12.
set(KYT_DEB_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkyt1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "driver library for KYT serial smart-card readers\n libkyt opens a serial port, detects the KYT7710P, KYT7710P_V3 or KYT4460P\n reader on it and lets programs power cards on and off, select T=0 or T=1,\n exchange APDUs and pass escape commands.  This package holds libkyt.so.1.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkyt-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkyt1 (= ${KYT_DEB_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "development files of libkyt\n The C header kyt.h, the development link libkyt.so, a pkg-config file\n (kyt) and a CMake package (find_package(kyt), target kyt::kyt).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kyt-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "libkyt1 (= ${KYT_DEB_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "console programs for KYT smart-card readers\n kyt_test exercises the libkyt API against one reader through menus and APDU\n scripts; kyt_sim plays a KYT reader on a pseudo-terminal for trying\n programs without hardware.")

include(CPack)
