// The runtime-bound natives as the virtual machine calls them: with their
// JNI signatures, so that a parameter list that drifted from the library's
// no longer links (the stdcall names carry the argument bytes).
#ifndef ORVJNI_CNG_NATIVES_H
#define ORVJNI_CNG_NATIVES_H

#include <jni.h>

#define CNG_NATIVE(name) JNICALL Java_Orvalith_Base_JNI_##name

extern "C" {
jint CNG_NATIVE(nCryptCreatePersistedKey)(JNIEnv *, jclass, jlong, jlongArray, jstring, jstring,
                                          jint, jint);
jint CNG_NATIVE(nCryptDecrypt)(JNIEnv *, jclass, jlong, jobject, jint, jobject, jobject, jint,
                               jintArray, jint);
jint CNG_NATIVE(nCryptDeleteKey)(JNIEnv *, jclass, jlong, jint);
jint CNG_NATIVE(nCryptDeriveKey)(JNIEnv *, jclass, jlong, jstring, jobject, jobject, jint,
                                 jintArray, jint);
jint CNG_NATIVE(nCryptEncrypt)(JNIEnv *, jclass, jlong, jobject, jint, jobject, jobject, jint,
                               jintArray, jint);
jint CNG_NATIVE(nCryptExportKey)(JNIEnv *, jclass, jlong, jlong, jstring, jobject, jobject, jint,
                                 jintArray, jint);
jint CNG_NATIVE(nCryptFinalizeKey)(JNIEnv *, jclass, jlong, jint);
jint CNG_NATIVE(nCryptFreeBuffer)(JNIEnv *, jclass, jobject);
jint CNG_NATIVE(nCryptFreeObject)(JNIEnv *, jclass, jlong);
jint CNG_NATIVE(nCryptGetProperty)(JNIEnv *, jclass, jlong, jstring, jobject, jint, jintArray,
                                   jint);
jint CNG_NATIVE(nCryptImportKey)(JNIEnv *, jclass, jlong, jlong, jstring, jobject, jlongArray,
                                 jobject, jint, jint);
jint CNG_NATIVE(nCryptIsAlgSupported)(JNIEnv *, jclass, jlong, jstring, jint);
jboolean CNG_NATIVE(nCryptIsKeyHandle)(JNIEnv *, jclass, jlong);
jint CNG_NATIVE(nCryptNotifyChangeKey)(JNIEnv *, jclass, jlong, jlongArray, jint);
jint CNG_NATIVE(nCryptOpenKey)(JNIEnv *, jclass, jlong, jlongArray, jstring, jint, jint);
jint CNG_NATIVE(nCryptOpenStorageProvider)(JNIEnv *, jclass, jlongArray, jstring, jint);
jint CNG_NATIVE(nCryptSecretAgreement)(JNIEnv *, jclass, jlong, jlong, jlongArray, jint);
jint CNG_NATIVE(nCryptSetProperty)(JNIEnv *, jclass, jlong, jstring, jobject, jint, jint);
jint CNG_NATIVE(nCryptSignHash)(JNIEnv *, jclass, jlong, jobject, jobject, jint, jobject, jint,
                                jintArray, jint);
jint CNG_NATIVE(nCryptTranslateHandle)(JNIEnv *, jclass, jlongArray, jlongArray, jlong, jlong,
                                       jint, jint);
jint CNG_NATIVE(nCryptVerifySignature)(JNIEnv *, jclass, jlong, jobject, jobject, jint, jobject,
                                       jint, jint);

jboolean CNG_NATIVE(cryptUIDlgViewCertificate)(JNIEnv *, jclass, jobject, jbooleanArray);
jobject CNG_NATIVE(cryptUIDlgSelectCertificate)(JNIEnv *, jclass, jobject);
jboolean CNG_NATIVE(cryptUIWizImport)(JNIEnv *, jclass, jint, jlong, jstring, jobject, jlong);
}

#endif
