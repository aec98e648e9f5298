# GoogleTest for whichever toolchain configures the tree.  The host uses the
# packaged build; a cross toolchain builds the sources Debian ships with
# that very toolchain (a host libgtest cannot link into a MIPS or Windows
# test).  Either way the targets are GTest::gtest, GTest::gtest_main,
# GTest::gmock and GTest::gmock_main.
include_guard(GLOBAL)

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)
  return()
endif()

set(ORVJNI_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${ORVJNI_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ORVJNI_GTEST_SOURCE} (Debian package googletest)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# Built as static libraries into each test, so Windows tests need no DLLs
# beside them and MIPS tests need none in the qemu sysroot.
set(BUILD_SHARED_LIBS OFF)
add_subdirectory(${ORVJNI_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)

foreach(lib IN ITEMS gtest gtest_main gmock gmock_main)
  # Third-party code: its warnings are not ours to fail on.
  target_compile_options(${lib} PRIVATE -w)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
