# Linux MIPS32 little-endian: the 32-bit POSIX deliverable, liborvjni.so.
# Debian's cross compiler and its glibc stand in for the target's system
# library; test programs run under qemu-user with that sysroot, named here
# so that nothing depends on the host registering qemu with binfmt_misc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(ORVJNI_SYSROOT /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${ORVJNI_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit atomics (std::atomic<int64_t> in tests) are library calls on
# MIPS32.  The bridge links with --as-needed and uses none, so it does not
# come to depend on libatomic.
set(CMAKE_CXX_STANDARD_LIBRARIES "-latomic" CACHE STRING "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel;-L;${ORVJNI_SYSROOT})

set(ORVJNI_TARGET linux-mips32)
