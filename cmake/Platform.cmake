# Which of the three deliverables this build produces, and where the JNI and
# Cryptoki headers come from.  Cross toolchains set ORVJNI_TARGET themselves.
if(NOT ORVJNI_TARGET)
  if(WIN32)
    set(ORVJNI_TARGET windows-x86)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ORVJNI_TARGET linux-mips32)
  else()
    set(ORVJNI_TARGET posix64)
  endif()
endif()

if(ORVJNI_TARGET STREQUAL "windows-x86")
  set(ORVJNI_OUTPUT_NAME orvjni32)
elseif(ORVJNI_TARGET STREQUAL "linux-mips32")
  set(ORVJNI_OUTPUT_NAME orvjni)
else()
  set(ORVJNI_OUTPUT_NAME orvjni64)
endif()

# The JDK's headers serve every target; Windows gets its own jni_md.h, which
# sits in cmake/win32 and must come first on the include path.
if(NOT ORVJNI_JDK_HOME)
  set(ORVJNI_JDK_HOME /usr/lib/jvm/java-17-openjdk-amd64)
endif()
set(ORVJNI_JNI_INCLUDES ${ORVJNI_JDK_HOME}/include)
if(ORVJNI_TARGET STREQUAL "windows-x86")
  list(PREPEND ORVJNI_JNI_INCLUDES ${CMAKE_SOURCE_DIR}/cmake/win32)
else()
  list(APPEND ORVJNI_JNI_INCLUDES ${ORVJNI_JDK_HOME}/include/linux)
endif()

if(NOT ORVJNI_P11_INCLUDE)
  set(ORVJNI_P11_INCLUDE /usr/include/p11-kit-1)
endif()
