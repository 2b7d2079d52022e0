# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu;
# programs and tests run under qemu-i386.
#
#   cmake -S . -B build-i686 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KYT_TARGET_TRIPLET i686-linux-gnu)
set(KYT_MULTIARCH i386-linux-gnu)
set(KYT_QEMU /usr/bin/qemu-i386)
set(KYT_TARGET_LOADER ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
