# macOS x86_64: the 64-bit deliverable as a Mach-O dylib, liborvjni64.dylib.
# Debian's clang targets the platform and its ld64.lld links Mach-O; the
# platform's C headers and libSystem stub come from ORVJNI_MACOS_SDK, the
# folder that scripts/macos-sdk.sh prints.  The result cannot run here:
# its tests check what the binary shows (tests/native/cross/macos).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSTEM_VERSION 20)   # Darwin 20 is macOS 11

if(NOT ORVJNI_MACOS_SDK)
  message(FATAL_ERROR "macOS build: pass -DORVJNI_MACOS_SDK=$(bash scripts/macos-sdk.sh)")
endif()
# Compiler checks configure projects of their own: hand the folder on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVJNI_MACOS_SDK)

set(triple x86_64-apple-macos11)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_OSX_ARCHITECTURES x86_64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
# The stub's folder stands in for the SDK: the linker finds
# usr/lib/libSystem.tbd under it; headers come only from the layers below.
set(CMAKE_OSX_SYSROOT ${ORVJNI_MACOS_SDK}/sysroot)

set(sdk_includes "")
foreach(layer x86_64-macos.11-none any-macos.11-any any-macos-any)
  string(APPEND sdk_includes " -isystem ${ORVJNI_MACOS_SDK}/include/${layer}")
endforeach()
set(CMAKE_C_FLAGS_INIT "-nostdlibinc${sdk_includes}")
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -nostdlibinc -nostdinc++ -isystem ${ORVJNI_MACOS_SDK}/c++${sdk_includes}")
# The bridge needs no C++ runtime (no exceptions, no run-time types), and
# the bundle has no stub of one: C++ links against libSystem alone, so a
# stray use of the runtime fails the link.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++ -Wno-unused-command-line-argument")
endforeach()

set(CMAKE_AR llvm-ar-14)
set(CMAKE_RANLIB llvm-ranlib-14)
set(CMAKE_NM llvm-nm-14)
set(CMAKE_OBJDUMP llvm-objdump-14)
set(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool-14)

set(CMAKE_FIND_ROOT_PATH ${ORVJNI_MACOS_SDK}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ORVJNI_TARGET macos-x86_64)
set(ORVJNI_JDK_HOME ${ORVJNI_MACOS_SDK}/jdk)
