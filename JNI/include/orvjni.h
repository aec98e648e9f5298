/*
 * orvjni.h - what the bridge library exports to other native code in the
 * same process (Linux and macOS builds).  The JNI natives themselves are
 * reached by the virtual machine through their Java_Orvalith_Base_JNI_...
 * names and are not declared here.
 */
#ifndef ORVJNI_H
#define ORVJNI_H

#include <jni.h>
#include <stdint.h>
#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ORVJNI_API
#else
#define ORVJNI_API __attribute__((visibility("default")))
#endif

/* The running virtual machine; set by JNI_OnLoad, read by GetEnv/AttachEnv. */
ORVJNI_API extern JavaVM *jvm;

/* Environment, exceptions and strings. */
ORVJNI_API JNIEnv *GetEnv(void);
ORVJNI_API JNIEnv *AttachEnv(void);
ORVJNI_API void DetachEnv(void);
ORVJNI_API void Throw(JNIEnv *env, jstring message);
ORVJNI_API void ThrowNewException(JNIEnv *env, const char *message);
ORVJNI_API int IsFieldExists(JNIEnv *env, jobject obj, jfieldID id, const char *name);
ORVJNI_API int CanCallMethod(JNIEnv *env, jobject obj, jmethodID id, const char *name);
ORVJNI_API jmethodID GetMethodID(JNIEnv *env, const char *name, const char *sig, jobject obj);
ORVJNI_API char *jstringToWindows(JNIEnv *env, jstring s);
ORVJNI_API jstring WindowsTojstring(JNIEnv *env, const char *s);

/* Field accessors: the field is looked up by name on the object's class at
 * every call.  A missing field raises "Can't find %s field in class." and
 * gives the fallback (null, -1, -1.0, 255). */
ORVJNI_API jstring GetStringField(JNIEnv *env, jobject obj, const char *name);
ORVJNI_API jobject GetObjectField(JNIEnv *env, jobject obj, const char *name);
ORVJNI_API jlong GetLongField(JNIEnv *env, jobject obj, const char *name);
ORVJNI_API jdouble GetDoubleField(JNIEnv *env, jobject obj, const char *name);
ORVJNI_API unsigned char GetBoolField(JNIEnv *env, jobject obj, const char *name);
ORVJNI_API jint GetIntField(JNIEnv *env, jobject obj, const char *name);
ORVJNI_API jbyte *GetByteArrayField(JNIEnv *env, jobject obj, const char *name, jbyteArray *array);
ORVJNI_API void SetStringField(JNIEnv *env, jobject obj, const char *name, jstring value);
ORVJNI_API void SetObjectField(JNIEnv *env, jobject obj, const char *name, jobject value);
ORVJNI_API void SetBoolField(JNIEnv *env, jobject obj, const char *name, unsigned char value);
ORVJNI_API void SetDoubleField(JNIEnv *env, jobject obj, const char *name, jdouble value);
ORVJNI_API void SetLongField(JNIEnv *env, jobject obj, const char *name, unsigned long value);
ORVJNI_API void SetIntField(JNIEnv *env, jobject obj, const char *name, jint value);

/* One-element reference cells: read with JNI_ABORT, written with mode 0. */
ORVJNI_API jint GetIntRefValue(JNIEnv *env, jintArray cell);
ORVJNI_API jlong GetLongRefValue(JNIEnv *env, jlongArray cell);
ORVJNI_API void SetBoolRef(JNIEnv *env, jbooleanArray cell, unsigned char value);
ORVJNI_API void SetIntRef(JNIEnv *env, jintArray cell, jint value);
ORVJNI_API void SetLongRef(JNIEnv *env, jlongArray cell, jlong value);

ORVJNI_API jobject GetObj(JNIEnv *env);
ORVJNI_API void FreeObj(JNIEnv *env, jobject obj);
ORVJNI_API jbyteArray bArr2jArr(JNIEnv *env, const unsigned char *bytes, int length);

/* Reference-counted block registry.  Operations on one registry must not
 * overlap; the bridge serialises its own. */
typedef struct BlockNode {
    void *address;
    int32_t refcount;
    struct BlockNode *prev;
    struct BlockNode *next;
} BlockNode;

typedef struct plist {
    BlockNode *head;
    int32_t count;
} plist;

ORVJNI_API void plist_new(plist *registry);
ORVJNI_API void plist_add(plist *registry, void *address);
ORVJNI_API void plist_incref(plist *registry, void *address);
ORVJNI_API int plist_delete(plist *registry, void *address);
ORVJNI_API void plist_free(plist *registry);
ORVJNI_API void plist_reset(plist *registry);

/* The initialise-arguments record that NSS-style modules read: the standard
 * one with the library parameters before pReserved. */
typedef struct NssInitializeArgs {
    CK_CREATEMUTEX CreateMutex;
    CK_DESTROYMUTEX DestroyMutex;
    CK_LOCKMUTEX LockMutex;
    CK_UNLOCKMUTEX UnlockMutex;
    CK_FLAGS flags;
    void *LibraryParameters;
    void *pReserved;
} NssInitializeArgs;

ORVJNI_API int IsNSS(JNIEnv *env, jobject args);
ORVJNI_API void *ObjToInitializeArgs(JNIEnv *env, jobject args);
ORVJNI_API void ObjToSimpleInitializeArgs(JNIEnv *env, jobject args, CK_C_INITIALIZE_ARGS *record);
ORVJNI_API void ObjToNssInitializeArgs(JNIEnv *env, jobject args, NssInitializeArgs *record);

ORVJNI_API CK_RV CreateMutexCallback(void **mutex);
ORVJNI_API CK_RV DestroyMutexCallback(void *mutex);
ORVJNI_API CK_RV LockMutexCallback(void *mutex);
ORVJNI_API CK_RV UnlockMutexCallback(void *mutex);

/* What other native code hands COpenSessionCallback as pApplication to have
 * callback.callback(session, event, application) called through env, on
 * env's thread; a notification from any other thread is dropped with
 * CKR_OK, since env and its local references are of no use there.  (c_OpenSession's own sessions hold a number of the
 * bridge's instead, always odd, so that a notification after the session
 * ended finds nothing.) */
typedef struct NotifyContext {
    JNIEnv *env;
    jobject application;
    jobject callback;
} NotifyContext;

ORVJNI_API CK_RV COpenSessionCallback(CK_SESSION_HANDLE session, CK_NOTIFICATION event, void *application);

#ifdef __cplusplus
}
#endif

#endif
