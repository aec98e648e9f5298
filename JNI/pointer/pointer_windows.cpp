// JNI$Pointer views of memory that a Windows platform function handed out
// or reported on.  Views are never registered: JNI$Pointer.free leaves them
// alone, and their memory stays the platform's.
#if defined(_WIN32)
#include "pointer/pointer_windows.h"

jobject NewPointer(JNIEnv *env, const void *address, jint size) {
    jclass cls = env->FindClass(ORV_POINTER_CLASS);
    if (cls == nullptr) {
        ThrowNewException(env, ORV_MSG_CLASS_NOT_FOUND);
        return nullptr;
    }
    jobject obj = nullptr;
    jmethodID ctor = env->GetMethodID(cls, "<init>", "(JLjava/lang/Object;I)V");
    if (ctor == nullptr) {
        ThrowNewException(env, ORV_MSG_METHOD_NOT_FOUND);
    } else if (address == nullptr) {
        obj = env->NewObject(cls, ctor, static_cast<jlong>(0), static_cast<jobject>(nullptr),
                             static_cast<jint>(-1));
    } else {
        obj = env->NewObject(cls, ctor, WidenAddress(address), static_cast<jobject>(nullptr), size);
    }
    env->DeleteLocalRef(cls);
    return obj;
}

// Field IDs of one class are only good for its own instances; an object of
// another class with fields of the same names gets its own IDs.
static void SetFields(JNIEnv *env, jclass cls, jobject obj, jlong p, jint size) {
    jfieldID p_id = env->GetFieldID(cls, "p", "J");
    if (!IsFieldExists(env, obj, p_id, "p")) return;
    jfieldID size_id = env->GetFieldID(cls, "size", "I");
    if (!IsFieldExists(env, obj, size_id, "size")) return;
    env->SetLongField(obj, p_id, p);
    env->SetIntField(obj, size_id, size);
}

void SetPointerValue(JNIEnv *env, jobject pointer, const void *address, jint size) {
    // Cells written before (or a Pointer updated before) may have left an
    // exception pending; the update itself still happens.
    jthrowable held = ShelvePending(env);
    jclass cls = env->FindClass(ORV_POINTER_CLASS);
    if (cls == nullptr) {
        if (held != nullptr) env->DeleteLocalRef(held);
        ThrowNewException(env, ORV_MSG_CLASS_NOT_FOUND);
        return;
    }
    if (env->IsInstanceOf(pointer, cls)) {
        SetFields(env, cls, pointer, WidenAddress(address), size);
    } else {
        jclass own = env->GetObjectClass(pointer);
        SetFields(env, own, pointer, WidenAddress(address), size);
        env->DeleteLocalRef(own);
    }
    env->DeleteLocalRef(cls);
    RestorePending(env, held);
}

#endif
