// Reaching the Java environment from threads that have none (POSIX builds).
#if !defined(_WIN32)
#include <stdio.h>

#include "runtime/bridge.h"

JavaVM *jvm = nullptr;

static const jint kJniVersion = JNI_VERSION_1_4;

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM *vm, void *) {
    jvm = vm;
    return kJniVersion;
}

JNIEnv *GetEnv(void) {
    JNIEnv *env = nullptr;
    if (jvm == nullptr) return nullptr;
    if (jvm->GetEnv(reinterpret_cast<void **>(&env), kJniVersion) != JNI_OK) return nullptr;
    return env;
}

JNIEnv *AttachEnv(void) {
    JNIEnv *env = nullptr;
    if (jvm == nullptr || jvm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr) < 0) {
        fputs("Attach failed\n", stderr);
        return nullptr;
    }
    // A thread that cannot see the bridge's class cannot run its callbacks.
    jclass cls = env->FindClass(ORV_BRIDGE_CLASS);
    if (cls != nullptr) {
        env->DeleteLocalRef(cls);
        return env;
    }
    if (env->ExceptionCheck()) env->ExceptionDescribe();
    jvm->DetachCurrentThread();
    return nullptr;
}

void DetachEnv(void) {
    if (jvm != nullptr) jvm->DetachCurrentThread();
}
#endif
