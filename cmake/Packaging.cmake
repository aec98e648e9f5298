# Debian packages of the POSIX trees, made with CPack from the install
# components of JNI/CMakeLists.txt:
#   liborvjni-jni   the library ("runtime"), dependencies from its ELF
#   liborvjni-dev   header, CMake package, pkg-config file ("dev"); host only
# The host tree packages for the build machine's architecture; the MIPS32
# tree packages its runtime for mipsel.
#
#   cpack --config BUILD/CPackConfig.cmake -B BUILD/packages
include_guard(GLOBAL)

set(ORVJNI_PACKAGE_CONTACT "orvjni developers <orvjni@example.org>" CACHE STRING
  "Maintainer of the Debian packages")

set(runtime_name liborvjni-jni)
set(dev_name liborvjni-dev)
set(doc_source ${CMAKE_SOURCE_DIR}/cmake/packaging)

# Every package carries its copyright and (a native package's) changelog.
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9nc ${doc_source}/changelog OUTPUT_FILE ${changelog_gz}
  COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${doc_source}/changelog)

set(components runtime)
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND components dev)
endif()
foreach(component IN LISTS components)
  install(FILES ${doc_source}/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${${component}_name} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvjni)
set(CPACK_PACKAGE_VENDOR "orvjni developers")
set(CPACK_PACKAGE_CONTACT ${ORVJNI_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE orvjni)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_name})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION java)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"Java bridge to Cryptoki token modules and native memory (JNI library)
The native library of the Orvalith Java class library.  Loaded into the
Java virtual machine by System.loadLibrary, it opens PKCS#11 (Cryptoki)
token modules and calls every Cryptoki function for Java, and manages
reference-counted native memory blocks that Java code fills and reads.
.
The library is installed in the multiarch jni folder, which Debian's Java
virtual machines search by default.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${dev_name})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# jni.h comes from the JDK the library was built against, pkcs11.h from p11-kit.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${runtime_name} (= ${PROJECT_VERSION}), libp11-kit-dev, openjdk-17-jdk-headless")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"Java bridge to Cryptoki token modules and native memory (development files)
Other native code in the same process as the orvjni Java bridge can use the
bridge's helpers: Java field and reference-cell accessors, string
conversion, exceptions, the block registry and the Cryptoki mutex
callbacks.  This package holds their C header, a CMake package
(find_package(orvjni)) and a pkg-config file (orvjni.pc).")

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only this machine's architecture: the cross tree
  # reads the library's needs itself when CPack runs (packaging/cross-depends.cmake).
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
  set(ORVJNI_CROSS_LIBRARY ${CMAKE_BINARY_DIR}/bin/lib${ORVJNI_OUTPUT_NAME}.so)
  set(ORVJNI_CROSS_OBJDUMP ${CMAKE_OBJDUMP})
  set(ORVJNI_CROSS_TRIPLET ${CMAKE_LIBRARY_ARCHITECTURE})
  configure_file(${doc_source}/cross-depends.cmake.in ${CMAKE_BINARY_DIR}/packaging/cross-depends.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/cross-depends.cmake)
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
