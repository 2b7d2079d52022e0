# What every cross toolchain shares: Debian's cross compilers for
# KYT_TARGET_TRIPLET, libraries and headers found only in the target's root,
# pkg-config limited to the target's multiarch folder (KYT_MULTIARCH), and
# the emulator that runs the target's programs (KYT_QEMU, KYT_TARGET_LOADER).
# Included by the per-target files after they have named the target.
set(CMAKE_SYSTEM_NAME Linux)

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

# The target has no GoogleTest of its own: build it from Debian's sources.
set(KYT_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")

# Programs run under qemu-user (KYT_QEMU) through the target's dynamic loader
# from the cross compiler's root, started explicitly:
#  - not through qemu's -L: the loader would then read the machine's loader
#    cache (/etc/ld.so.cache), which lists the target's multiarch C library
#    (libc6:armhf, libc6:i386) once that is installed, of another build than
#    the cross root's loader: programs then crash.  --inhibit-cache and
#    --library-path keep every library in the cross root;
#  - under qemu-i386 7.2 with -L, pthread_create of glibc 2.36 never returns.
set(KYT_CROSS_LIB /usr/${KYT_TARGET_TRIPLET}/lib)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KYT_QEMU}
  ${KYT_CROSS_LIB}/${KYT_TARGET_LOADER} --inhibit-cache --library-path ${KYT_CROSS_LIB})
