# Cross build for 64-bit big-endian IBM Z Linux (Debian s390x) with Debian's
# g++-s390x-linux-gnu; programs and tests run under qemu-s390x.  The one
# big-endian target: it proves that every multi-byte field on the line, in
# the simulator and in the PC/SC handler is put together byte by byte.
#
#   cmake -S . -B build-s390x \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(KYT_TARGET_TRIPLET s390x-linux-gnu)
set(KYT_MULTIARCH s390x-linux-gnu)
set(KYT_QEMU /usr/bin/qemu-s390x)
set(KYT_TARGET_LOADER ld64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
