// Small object and array helpers.
#include "runtime/bridge.h"

jobject GetObj(JNIEnv *env) {
    jclass cls = env->FindClass("java/lang/Object");
    if (cls == nullptr) return nullptr;  // the VM's error stays pending
    jmethodID ctor = env->GetMethodID(cls, "<init>", "()V");
    jobject obj = ctor != nullptr ? env->NewObject(cls, ctor) : nullptr;
    env->DeleteLocalRef(cls);
    return obj;
}

void FreeObj(JNIEnv *env, jobject obj) { env->DeleteLocalRef(obj); }

jbyteArray bArr2jArr(JNIEnv *env, const unsigned char *bytes, int length) {
    jbyteArray array = env->NewByteArray(length);
    if (array != nullptr && length > 0)
        env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte *>(bytes));
    return array;
}
