# Cross build for 32-bit ARM hard-float Linux with Debian's
# g++-arm-linux-gnueabihf; programs and tests run under qemu-arm.
#
#   cmake -S . -B build-armhf \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KYT_TARGET_TRIPLET arm-linux-gnueabihf)
set(KYT_DEBIAN_ARCHITECTURE armhf)
set(KYT_MULTIARCH arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${KYT_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KYT_TARGET_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KYT_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees only the target's libraries (Debian's multiarch folder),
# never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KYT_MULTIARCH}/pkgconfig:/usr/${KYT_TARGET_TRIPLET}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L /usr/${KYT_TARGET_TRIPLET})
# The target has no GoogleTest of its own: build it from Debian's sources.
set(KYT_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")
