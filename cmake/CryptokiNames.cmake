# orvjni_cryptoki_names(HEADER OUTPUT): writes OUTPUT, the names of the
# header's CKR_, CKM_ and CKA_ values for the call trace, as three array
# bodies:
#   static const TraceName kCkrNames[] = {
#   #ifdef CKR_OK
#       {CKR_OK, "CKR_OK"},
#   #endif
#   ...
# Each entry is guarded, so a name the header defines only under a
# condition costs nothing.  The values come from the header itself when
# the file is compiled; where two names share a value, the trace prints
# the one the header defines last (JNI/runtime/trace_names.cpp).
function(orvjni_cryptoki_names header output)
  file(STRINGS ${header} lines REGEX "^#define[ \t]+CK[RMA]_[A-Z0-9_]+[ \t]")
  set(text "/* Generated from ${header} by cmake/CryptokiNames.cmake. */\n")
  foreach(prefix CKR CKM CKA)
    string(TOLOWER ${prefix} lower)
    string(SUBSTRING ${lower} 0 1 first)
    string(TOUPPER ${first} first)
    string(SUBSTRING ${lower} 1 -1 rest)
    string(APPEND text "static const TraceName k${first}${rest}Names[] = {\n")
    foreach(line IN LISTS lines)
      if(line MATCHES "^#define[ \t]+(${prefix}_[A-Z0-9_]+)[ \t]")
        set(name ${CMAKE_MATCH_1})
        # Markers of ranges are no values of their own.
        if(NOT name MATCHES "_VENDOR_DEFINED$")
          string(APPEND text "#ifdef ${name}\n    {${name}, \"${name}\"},\n#endif\n")
        endif()
      endif()
    endforeach()
    string(APPEND text "};\n")
  endforeach()
  file(WRITE ${output}.tmp "${text}")
  file(COPY_FILE ${output}.tmp ${output} ONLY_IF_DIFFERENT)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
endfunction()
