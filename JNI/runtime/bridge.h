/*
 * Internal declarations shared by the bridge's own sources.  What other
 * native code may use is in orvjni.h; this adds what stays inside.
 */
#ifndef ORVJNI_BRIDGE_H
#define ORVJNI_BRIDGE_H

#include "orvjni.h"
#include "runtime/widths.h"

/* Class and message texts the bridge uses in more than one place. */
#define ORV_EXCEPTION_CLASS "java/lang/Exception"
#define ORV_BRIDGE_CLASS "Orvalith/Base/JNI"
#define ORV_POINTER_CLASS "Orvalith/Base/JNI$Pointer"
#define ORV_NSS_ARGS_CLASS "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS"
#define ORV_MSG_OUT_OF_MEMORY "Out of memory"
#define ORV_MSG_CLASS_NOT_FOUND "Class not found"
#define ORV_MSG_METHOD_NOT_FOUND "Method not found"

/*
 * JNI forbids most calls while an exception is pending, and a lookup made
 * then answers null.  Callers that go on after an earlier failure (a
 * native reading its next argument) therefore set the pending exception
 * aside around each access.  RestorePending raises it again unless the
 * access raised one of its own: the newer one stands.
 */
jthrowable ShelvePending(JNIEnv *env);
void RestorePending(JNIEnv *env, jthrowable held);

/*
 * The block address in a JNI$Pointer's field "p".  A null object is the
 * null pointer.  *found (when given) tells whether the object had the
 * field; without it the value is all bits set and not an address.
 */
void *GetPointerValue(JNIEnv *env, jobject pointer, bool *found = nullptr);

/* The element-0 access of every cell kind, also telling whether the cell
 * could be used at all (non-null, at least one element). */
bool ReadLongCell(JNIEnv *env, jlongArray cell, jlong *value);
bool WriteLongCell(JNIEnv *env, jlongArray cell, jlong value);
/* Whether a cell can take a value: not null, at least one element. */
bool CellUsable(JNIEnv *env, jarray cell);

/* Raises a bridge exception naming a missing member: the 50-byte message
 * buffer, bounded formatting and the out-of-memory fallback in one place. */
void ThrowMissing(JNIEnv *env, const char *format, const char *name);

#endif
