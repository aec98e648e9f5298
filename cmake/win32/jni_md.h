/*
 * Machine-dependent JNI types for the Windows x86 build.  The JDK on the
 * build host carries only its own platform's copy, so this one sits beside
 * the build files and comes first on the include path of that build.
 *
 * JNIEXPORT stays empty: the DLL's export table comes from a .def file
 * generated from the objects, which keeps the stdcall-decorated names the
 * virtual machine looks up (a plain dllexport would drop the underscore).
 */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
