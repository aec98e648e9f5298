# Builds a small program against the bridge the two ways other native code
# would: find_package(orvjni) in CMake, and the compiler with
# `pkg-config --cflags --libs orvjni`; runs both.
#
#   cmake -DAPP_DIR=... -DWORK_DIR=... [-DBUILD_DIR=...] [-DCC=...] -P run.cmake
#
# With BUILD_DIR, that tree is installed into WORK_DIR/prefix first and
# both searches look there.  Without it, nothing is said about paths: the
# installed files are found where CMake and pkg-config look by default.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(NOT CC)
  set(CC cc)
endif()

function(step)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGV}\n${out}")
  endif()
endfunction()

set(find_options)
if(BUILD_DIR)
  set(prefix ${WORK_DIR}/prefix)
  step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  set(find_options -DCMAKE_PREFIX_PATH=${prefix})
  file(GLOB_RECURSE pc_file ${prefix}/*/orvjni.pc)
  get_filename_component(pc_dir "${pc_file}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
else()
  unset(ENV{PKG_CONFIG_PATH})
  unset(ENV{CMAKE_PREFIX_PATH})
endif()

step(${CMAKE_COMMAND} -S ${APP_DIR} -B ${WORK_DIR}/cmake -DCMAKE_C_COMPILER=${CC} ${find_options})
step(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
step(${WORK_DIR}/cmake/consumer)

find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs orvjni
  RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs orvjni\n${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
step(${CC} -std=c11 -Wall -Wextra -Werror ${APP_DIR}/main.c -o ${WORK_DIR}/consumer-pc ${flags})
step(${WORK_DIR}/consumer-pc)
message(STATUS "consumer: built and ran with find_package(orvjni) and with pkg-config")
