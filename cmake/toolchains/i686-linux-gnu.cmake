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
# pkg-config sees only the target's libraries (Debian's multiarch folder),
# never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KYT_MULTIARCH}/pkgconfig:/usr/${KYT_TARGET_TRIPLET}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The target's dynamic loader is started explicitly rather than found with
# qemu's -L: under qemu-i386 7.2 with -L, pthread_create of glibc 2.36 never
# returns.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386
  /usr/${KYT_TARGET_TRIPLET}/lib/ld-linux.so.2 --library-path /usr/${KYT_TARGET_TRIPLET}/lib)
# The target has no GoogleTest of its own: build it from Debian's sources.
set(KYT_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")
