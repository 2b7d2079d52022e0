# Cross build for 64-bit ARM Linux (Debian arm64) with Debian's
# g++-aarch64-linux-gnu; programs and tests run under qemu-aarch64.
#
#   cmake -S . -B build-arm64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KYT_TARGET_TRIPLET aarch64-linux-gnu)
set(KYT_MULTIARCH aarch64-linux-gnu)
set(KYT_QEMU /usr/bin/qemu-aarch64)
set(KYT_TARGET_LOADER ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
