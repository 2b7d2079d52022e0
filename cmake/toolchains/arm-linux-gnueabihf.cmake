# Cross build for 32-bit ARM hard-float Linux with Debian's
# g++-arm-linux-gnueabihf; programs and tests run under qemu-arm.
#
#   cmake -S . -B build-armhf \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KYT_TARGET_TRIPLET arm-linux-gnueabihf)
set(KYT_MULTIARCH arm-linux-gnueabihf)
set(KYT_QEMU /usr/bin/qemu-arm)
set(KYT_TARGET_LOADER ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
