# cmake -DKIND=posix|windows -DTOOL=<nm|objdump> -DBINARY=<file> -DEXPECTED=<list> -P check-exports.cmake
#
# The names a deliverable exports must be exactly those of the list: no
# native missing, nothing extra (on Windows, no undecorated twin of a
# decorated name).  POSIX: the defined dynamic symbols; Windows: the
# export table's name pointers.
cmake_minimum_required(VERSION 3.25)
foreach(var KIND TOOL BINARY EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check-exports.cmake needs -D${var}=...")
  endif()
endforeach()

if(KIND STREQUAL "windows")
  execute_process(COMMAND ${TOOL} -p ${BINARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} -p ${BINARY} failed")
  endif()
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
  set(actual)
  if(at GREATER_EQUAL 0)
    string(SUBSTRING "${dump}" ${at} -1 table)
    string(REPLACE "\n" ";" lines "${table}")
    list(POP_FRONT lines)
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
        break()
      endif()
      list(APPEND actual "${CMAKE_MATCH_1}")
    endforeach()
  endif()
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${BINARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} -D --defined-only ${BINARY} failed")
  endif()
  string(REPLACE "\n" ";" lines "${dump}")
  set(actual)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
      # Versioned names (name@@VER) are not expected from the version script.
      list(APPEND actual "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endif()

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(TRANSFORM expected STRIP)
list(FILTER expected EXCLUDE REGEX "^$")

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
list(LENGTH expected expected_count)
list(LENGTH actual actual_count)
set(duplicates ${actual})
list(REMOVE_DUPLICATES duplicates)
list(LENGTH duplicates unique_count)

if(missing OR extra OR NOT unique_count EQUAL actual_count)
  list(JOIN missing "\n  " missing_text)
  list(JOIN extra "\n  " extra_text)
  message(FATAL_ERROR "exports of ${BINARY} differ from ${EXPECTED}\n"
          "missing:\n  ${missing_text}\nunexpected:\n  ${extra_text}\n"
          "(${actual_count} exported, ${unique_count} distinct, ${expected_count} expected)")
endif()
message(STATUS "${BINARY}: ${actual_count} exports, as listed")
