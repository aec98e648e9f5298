// The Windows natives as the virtual machine calls them.  Declared with
// their JNI signatures, so a signature that drifted from the library's
// would no longer link: the stdcall names carry the argument bytes.
#ifndef ORVJNI_WINDOWS_NATIVES_H
#define ORVJNI_WINDOWS_NATIVES_H

#include <jni.h>

#define WIN_NATIVE(name) JNICALL Java_Orvalith_Base_JNI_##name

extern "C" {
// Providers.
jboolean WIN_NATIVE(cryptAcquireContext)(JNIEnv *, jclass, jlongArray, jstring, jstring, jint, jint);
jboolean WIN_NATIVE(cryptReleaseContext)(JNIEnv *, jclass, jlong, jint);
jboolean WIN_NATIVE(cryptContextAddRef)(JNIEnv *, jclass, jlong, jlong, jint);
jboolean WIN_NATIVE(cryptGetProvParam)(JNIEnv *, jclass, jlong, jint, jobject, jintArray, jint);
jboolean WIN_NATIVE(cryptSetProvParam)(JNIEnv *, jclass, jlong, jint, jobject, jint);
jboolean WIN_NATIVE(cryptEnumProviders)(JNIEnv *, jclass, jint, jint, jint, jintArray, jobject,
                                        jintArray);
// Keys.
jboolean WIN_NATIVE(cryptGetUserKey)(JNIEnv *, jclass, jlong, jint, jlongArray);
jboolean WIN_NATIVE(cryptGenKey)(JNIEnv *, jclass, jlong, jint, jint, jlongArray);
jboolean WIN_NATIVE(cryptDeriveKey)(JNIEnv *, jclass, jlong, jint, jlong, jint, jlongArray);
jboolean WIN_NATIVE(cryptDuplicateKey)(JNIEnv *, jclass, jlong, jlong, jint, jlongArray);
jboolean WIN_NATIVE(cryptDestroyKey)(JNIEnv *, jclass, jlong);
jboolean WIN_NATIVE(cryptExportKey)(JNIEnv *, jclass, jlong, jlong, jint, jint, jobject, jintArray);
jboolean WIN_NATIVE(cryptImportKey)(JNIEnv *, jclass, jlong, jobject, jint, jlong, jint, jlongArray);
jboolean WIN_NATIVE(cryptGetKeyParam)(JNIEnv *, jclass, jlong, jint, jobject, jintArray, jint);
jboolean WIN_NATIVE(cryptSetKeyParam)(JNIEnv *, jclass, jlong, jint, jobject, jint);
jboolean WIN_NATIVE(cryptEncrypt)(JNIEnv *, jclass, jlong, jlong, jboolean, jint, jobject, jintArray,
                                  jint);
jboolean WIN_NATIVE(cryptDecrypt)(JNIEnv *, jclass, jlong, jlong, jboolean, jint, jobject, jintArray);
// Hashes.
jboolean WIN_NATIVE(cryptCreateHash)(JNIEnv *, jclass, jlong, jint, jlong, jint, jlongArray);
jboolean WIN_NATIVE(cryptHashData)(JNIEnv *, jclass, jlong, jobject, jint, jint);
jboolean WIN_NATIVE(cryptGetHashParam)(JNIEnv *, jclass, jlong, jint, jobject, jintArray, jint);
jboolean WIN_NATIVE(cryptSetHashParam)(JNIEnv *, jclass, jlong, jint, jobject, jint);
jboolean WIN_NATIVE(cryptSignHash)(JNIEnv *, jclass, jlong, jint, jstring, jint, jobject, jintArray);
jboolean WIN_NATIVE(cryptVerifySignature)(JNIEnv *, jclass, jlong, jobject, jint, jlong, jstring,
                                          jint);
jboolean WIN_NATIVE(cryptDestroyHash)(JNIEnv *, jclass, jlong);
// System.
jint WIN_NATIVE(getLastError)(JNIEnv *, jclass);
jboolean WIN_NATIVE(getVersionEx)(JNIEnv *, jclass, jobject);
jlong WIN_NATIVE(coCreateGuid)(JNIEnv *, jclass, jobject);
jint WIN_NATIVE(regOpenKeyEx)(JNIEnv *, jclass, jlong, jstring, jint, jint, jlongArray);
jint WIN_NATIVE(regCloseKey)(JNIEnv *, jclass, jlong);
}

#endif
