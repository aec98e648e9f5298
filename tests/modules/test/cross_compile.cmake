# Builds every variant of the mock module into a shared library with a cross
# compiler, warnings as errors and no undefined symbols left.  Called by ctest: cmake -DCXX=... -DWINDOWS=0|1 -DSOURCE=...
#   -DINCLUDES=dir|dir -DOUT=dir -P cross_compile.cmake
string(REPLACE "|" ";" include_dirs "${INCLUDES}")
set(include_flags "")
foreach(dir IN LISTS include_dirs)
  list(APPEND include_flags -I${dir})
endforeach()

set(variants
  "mockp11|"
  "mockp11_gfl_error|MOCK_GFL_FAILS=1"
  "mockp11_no_gfl|MOCK_WITH_GFL=0"
  "mockp11_no_wait|MOCK_WITH_GFL=0,MOCK_WITH_WAIT=0")
if(WINDOWS)
  list(APPEND variants "mockp11_packed|" "mockp11_slots4|MOCK_LAYOUT_SLOTS4=1")
  set(extra_flags -static-libgcc -static-libstdc++)
  set(suffix .dll)
else()
  set(extra_flags -fPIC -fvisibility=hidden -pthread -Wl,--no-undefined)
  set(suffix .so)
endif()

file(MAKE_DIRECTORY ${OUT})
set(failed "")
foreach(variant IN LISTS variants)
  string(REPLACE "|" ";" parts "${variant}")
  list(GET parts 0 name)
  list(LENGTH parts n)
  set(defs -DMOCK_VARIANT_NAME="${name}")
  if(n GREATER 1)
    list(GET parts 1 extra)
    if(extra)
      string(REPLACE "," ";" extra "${extra}")
      foreach(d IN LISTS extra)
        list(APPEND defs -D${d})
      endforeach()
    endif()
  endif()
  execute_process(
    COMMAND ${CXX} -std=c++17 -O2 -Wall -Wextra -Werror ${extra_flags} ${include_flags} ${defs}
            -shared ${SOURCE} -o ${OUT}/lib${name}${suffix}
    RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    message(STATUS "${name}: built")
  else()
    message(SEND_ERROR "${name}: ${CXX} failed")
    list(APPEND failed ${name})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "variants that did not build: ${failed}")
endif()
