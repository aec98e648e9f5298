// The certificate-store, message, certificate-key and OID-function natives
// as the virtual machine calls them.  Declared with their JNI signatures,
// so a signature that drifted from the library's would no longer link.
#ifndef ORVJNI_STORE_NATIVES_H
#define ORVJNI_STORE_NATIVES_H

#include <jni.h>

#define STORE_NATIVE(name) JNICALL Java_Orvalith_Base_JNI_##name

extern "C" {
// Stores.
jlong STORE_NATIVE(certOpenStore)(JNIEnv *, jclass, jstring, jint, jlong, jint, jobject);
jlong STORE_NATIVE(certOpenSystemStore)(JNIEnv *, jclass, jlong, jstring);
jboolean STORE_NATIVE(certCloseStore)(JNIEnv *, jclass, jlong, jint);
jboolean STORE_NATIVE(certEnumSystemStore)(JNIEnv *, jclass, jint, jobject, jobject, jobject);
jboolean STORE_NATIVE(certEnumPhysicalStore)(JNIEnv *, jclass, jobject, jint, jobject, jobject);
// Certificate contexts.
jobject STORE_NATIVE(certEnumCertificatesInStore)(JNIEnv *, jclass, jlong, jobject);
jobject STORE_NATIVE(certFindCertificateInStore)(JNIEnv *, jclass, jlong, jint, jint, jint, jobject,
                                                 jobject);
jboolean STORE_NATIVE(certAddEncodedCertificateToStore)(JNIEnv *, jclass, jlong, jint, jobject, jint,
                                                        jint, jobject);
jboolean STORE_NATIVE(certDeleteCertificateFromStore)(JNIEnv *, jclass, jobject);
jobject STORE_NATIVE(certDuplicateCertificateContext)(JNIEnv *, jclass, jobject);
jboolean STORE_NATIVE(certFreeCertificateContext)(JNIEnv *, jclass, jobject);
jobject STORE_NATIVE(certCreateCertificateContext)(JNIEnv *, jclass, jint, jobject, jint);
jboolean STORE_NATIVE(certGetCertificateContextProperty)(JNIEnv *, jclass, jobject, jint, jobject,
                                                         jintArray);
jboolean STORE_NATIVE(certSetCertificateContextProperty)(JNIEnv *, jclass, jobject, jint, jint,
                                                         jobject);
// Messages and certificate keys.
jboolean STORE_NATIVE(cryptSignMessage)(JNIEnv *, jclass, jobject, jboolean, jint, jobjectArray,
                                        jintArray, jobject, jintArray);
jboolean STORE_NATIVE(cryptDecryptMessage)(JNIEnv *, jclass, jobject, jobject, jint, jobject,
                                           jintArray, jobject);
jboolean STORE_NATIVE(cryptAcquireCertificatePrivateKey)(JNIEnv *, jclass, jobject, jint, jlong,
                                                         jlongArray, jintArray, jbooleanArray);
// OID functions and localized names.
jboolean STORE_NATIVE(cryptRegisterOIDFunction)(JNIEnv *, jclass, jint, jstring, jstring, jstring,
                                                jstring);
jboolean STORE_NATIVE(cryptUnregisterOIDFunction)(JNIEnv *, jclass, jint, jstring, jstring);
jboolean STORE_NATIVE(cryptInstallOIDFunctionAddress)(JNIEnv *, jclass, jlong, jint, jstring, jint,
                                                      jobject, jint);
jstring STORE_NATIVE(cryptFindLocalizedName)(JNIEnv *, jclass, jstring);
}

#endif
