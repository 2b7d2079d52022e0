# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu;
# programs and tests run under qemu-i386.
#
#   cmake -S . -B build-i686 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KYT_TARGET_TRIPLET i686-linux-gnu)
set(KYT_DEBIAN_ARCHITECTURE i386)
set(KYT_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# The target's dynamic loader is started explicitly rather than found with
# qemu's -L: under qemu-i386 7.2 with -L, pthread_create of glibc 2.36 never
# returns.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386
  /usr/${KYT_TARGET_TRIPLET}/lib/ld-linux.so.2 --library-path /usr/${KYT_TARGET_TRIPLET}/lib)
