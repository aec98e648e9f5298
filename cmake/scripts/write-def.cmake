# cmake -DNM=... -DOBJECT_LIST=file -DLIBRARY=name.dll -DOUTPUT=file.def -P write-def.cmake
#
# Lists every JNI native that the objects define.  On i386 the symbol of a
# stdcall function is _Name@N; a .def names symbols without that leading
# underscore, so each line reads "_Name@N = Name@N": exported under the
# full decorated name, bound to the compiled function.
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${OBJECT_LIST} objects)
list(FILTER objects EXCLUDE REGEX "^$")
execute_process(COMMAND ${NM} --defined-only -g ${objects}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on the bridge objects")
endif()
string(REGEX MATCHALL "[ \t]T[ \t]+_Java_Orvalith_Base_JNI_[A-Za-z0-9_]+@[0-9]+" lines "${symbols}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.*[ \t](_Java_[A-Za-z0-9_]+@[0-9]+)$" "\\1" name "${line}")
  list(APPEND names ${name})
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(LENGTH names count)
if(count EQUAL 0)
  message(FATAL_ERROR "no JNI natives in the bridge objects")
endif()
set(text "LIBRARY ${LIBRARY}\nEXPORTS\n")
foreach(name IN LISTS names)
  string(SUBSTRING ${name} 1 -1 symbol)
  string(APPEND text "    ${name} = ${symbol}\n")
endforeach()
# Rewritten only when it changes, so an unchanged export table links nothing anew.
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
