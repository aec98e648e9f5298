/*
 * JNI$Pointer objects that the Windows natives make or update for memory
 * the platform hands out (views: never registered, never released by
 * JNI$Pointer.free).  Windows build only.
 */
#ifndef ORVJNI_POINTER_WINDOWS_H
#define ORVJNI_POINTER_WINDOWS_H

#if defined(_WIN32)

#include "runtime/bridge.h"

/* A new JNI$Pointer (address, null, size), or (0, null, -1) for a null
 * address.  Null after raising "Class not found" or "Method not found". */
jobject NewPointer(JNIEnv *env, const void *address, jint size);

/* Writes "p" (the address, sign-extended) and "size" of an existing
 * JNI$Pointer; "o" stays.  Raises "Class not found" and writes nothing
 * when the class cannot be found. */
void SetPointerValue(JNIEnv *env, jobject pointer, const void *address, jint size);

#endif
#endif
