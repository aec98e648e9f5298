// Raising the bridge's exceptions and reporting missing members.
#include <stdio.h>
#include <stdlib.h>

#include "runtime/bridge.h"

// Room for 49 characters and the NUL: messages are cut, never overrun.
static const size_t kMessageBufferSize = 50;

void Throw(JNIEnv *env, jstring message) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    jclass cls = env->FindClass(ORV_EXCEPTION_CLASS);
    if (cls == nullptr) return;  // the VM's own error from FindClass stays pending
    jmethodID ctor = env->GetMethodID(cls, "<init>", "(Ljava/lang/String;)V");
    jobject exception = ctor != nullptr ? env->NewObject(cls, ctor, message) : nullptr;
    if (exception != nullptr) env->Throw(static_cast<jthrowable>(exception));
    env->DeleteLocalRef(exception);
    env->DeleteLocalRef(cls);
}

void ThrowNewException(JNIEnv *env, const char *message) {
    // Cleared first so that the VM accepts the calls that build ours.
    if (env->ExceptionCheck()) env->ExceptionClear();
    jstring text = env->NewStringUTF(message);
    if (text == nullptr) return;  // the VM's out-of-memory error is pending
    Throw(env, text);
    env->DeleteLocalRef(text);
}

void ThrowMissing(JNIEnv *env, const char *format, const char *name) {
    char *message = static_cast<char *>(malloc(kMessageBufferSize));
    if (message == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return;
    }
    snprintf(message, kMessageBufferSize, format, name);
    ThrowNewException(env, message);
    free(message);
}

int IsFieldExists(JNIEnv *env, jobject, jfieldID id, const char *name) {
    if (id != nullptr) return 1;
    ThrowMissing(env, "Can't find %s field in class.", name);
    return 0;
}

#if !defined(_WIN32)
int CanCallMethod(JNIEnv *env, jobject, jmethodID id, const char *name) {
    // Without an environment nothing can be raised, whatever the ID.
    if (env == nullptr) return 0;
    if (id != nullptr) return 1;
    ThrowMissing(env, "Method %s not found.", name);
    return 0;
}

jmethodID GetMethodID(JNIEnv *env, const char *name, const char *sig, jobject obj) {
    jclass cls = env->GetObjectClass(obj);
    jmethodID id = env->GetMethodID(cls, name, sig);
    env->DeleteLocalRef(cls);
    return id;
}
#endif

jthrowable ShelvePending(JNIEnv *env) {
    if (!env->ExceptionCheck()) return nullptr;
    jthrowable held = env->ExceptionOccurred();
    env->ExceptionClear();
    return held;
}

void RestorePending(JNIEnv *env, jthrowable held) {
    if (held == nullptr) return;
    if (!env->ExceptionCheck()) env->Throw(held);
    env->DeleteLocalRef(held);
}
