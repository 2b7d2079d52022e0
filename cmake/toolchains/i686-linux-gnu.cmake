# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu;
# programs and tests run under qemu-i386.
#
#   cmake -S . -B build-i686 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KYT_TARGET_TRIPLET i686-linux-gnu)
set(KYT_DEBIAN_ARCHITECTURE i386)
set(KYT_MULTIARCH i386-linux-gnu)

set(CMAKE_C_COMPILER ${KYT_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KYT_TARGET_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KYT_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386 -L /usr/${KYT_TARGET_TRIPLET})
# The target has no GoogleTest of its own: build it from Debian's sources.
set(KYT_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")
