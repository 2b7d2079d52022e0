# What both cross toolchains share: Debian's cross compilers for
# KYT_TARGET_TRIPLET, libraries and headers found only in the target's root,
# and pkg-config limited to the target's multiarch folder (KYT_MULTIARCH).
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
