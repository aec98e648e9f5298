# The Windows DLL's export table.  The virtual machine looks natives up
# under their stdcall-decorated names (_Java_..._name@N, N the argument
# bytes), and mingw's own export of a dllexport symbol drops the leading
# underscore.  So nothing is marked dllexport: a .def file, generated at
# build time from the symbols the objects define, names every native with
# its decoration as compiled, mapped onto that very symbol.  The byte
# counts come from the compiler and cannot drift from the signatures.

set(ORVJNI_WINDOWS_EXPORTS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/scripts/write-def.cmake)

function(orvjni_windows_exports target objects_target)
  if(NOT CMAKE_NM)
    message(FATAL_ERROR "no nm for the Windows toolchain")
  endif()
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  set(list_file ${CMAKE_CURRENT_BINARY_DIR}/${target}-objects.txt)
  file(GENERATE OUTPUT ${list_file}
       CONTENT "$<JOIN:$<TARGET_OBJECTS:${objects_target}>,\n>\n")
  add_custom_command(
    OUTPUT ${def}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJECT_LIST=${list_file}
            -DLIBRARY=$<TARGET_FILE_NAME:${target}> -DOUTPUT=${def}
            -P ${ORVJNI_WINDOWS_EXPORTS_SCRIPT}
    DEPENDS $<TARGET_OBJECTS:${objects_target}> ${list_file} ${ORVJNI_WINDOWS_EXPORTS_SCRIPT}
    COMMENT "Export table of ${target}"
    VERBATIM)
  # The .def is a source of the DLL: CMake hands it to the linker, which
  # then exports what it lists and nothing else.
  target_sources(${target} PRIVATE ${def})
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "")
endfunction()
