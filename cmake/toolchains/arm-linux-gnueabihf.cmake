# Cross build for 32-bit ARM hard-float Linux with Debian's
# g++-arm-linux-gnueabihf; programs and tests run under qemu-arm.
#
#   cmake -S . -B build-armhf \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KYT_TARGET_TRIPLET arm-linux-gnueabihf)
set(KYT_DEBIAN_ARCHITECTURE armhf)
set(KYT_MULTIARCH arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L /usr/${KYT_TARGET_TRIPLET})
