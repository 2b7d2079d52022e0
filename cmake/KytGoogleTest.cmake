# GoogleTest for every test program of the build, the PC/SC handler's
# included: the system's (libgtest-dev), or for a cross build compiled for
# the target from Debian's sources, as part of this build.  Included from the
# top folder before any folder that has tests, so that all of them see the
# same GTest::gtest and GTest::gtest_main.
option(KYT_GTEST_FROM_SOURCE "Build GoogleTest from Debian's sources in /usr/src/googletest" OFF)
if(KYT_GTEST_FROM_SOURCE)
  set(KYT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KYT_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
