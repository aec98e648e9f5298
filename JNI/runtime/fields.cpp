// Fields of Java objects, reached by name on the object's class at every
// call: nothing is cached, so any class with a field of the right name and
// type will do.
#include "runtime/bridge.h"
#include "runtime/trace.h"

// The field ID of name/sig on obj's class, or null after raising
// "Can't find %s field in class.".
static jfieldID FindField(JNIEnv *env, jobject obj, const char *name, const char *sig) {
    jclass cls = env->GetObjectClass(obj);
    jfieldID id = env->GetFieldID(cls, name, sig);
    env->DeleteLocalRef(cls);
    return IsFieldExists(env, obj, id, name) ? id : nullptr;
}

// One getter for every field type: look up, read or fall back, with a
// pending exception held aside so that the lookup sees a clean environment.
template <typename T, typename Read>
static T ReadField(JNIEnv *env, jobject obj, const char *name, const char *sig, T missing,
                   Read read, bool *found = nullptr) {
    jthrowable held = ShelvePending(env);
    jfieldID id = FindField(env, obj, name, sig);
    T value = id != nullptr ? read(id) : missing;
    RestorePending(env, held);
    if (found != nullptr) *found = id != nullptr;
    return value;
}

template <typename Write>
static void WriteField(JNIEnv *env, jobject obj, const char *name, const char *sig, Write write) {
    jthrowable held = ShelvePending(env);
    jfieldID id = FindField(env, obj, name, sig);
    if (id != nullptr) write(id);
    RestorePending(env, held);
}

static const char *const kStringSig = "Ljava/lang/String;";
static const char *const kObjectSig = "Ljava/lang/Object;";

jstring GetStringField(JNIEnv *env, jobject obj, const char *name) {
    return ReadField<jstring>(env, obj, name, kStringSig, nullptr, [&](jfieldID id) {
        return static_cast<jstring>(env->GetObjectField(obj, id));
    });
}

jobject GetObjectField(JNIEnv *env, jobject obj, const char *name) {
    return ReadField<jobject>(env, obj, name, kObjectSig, nullptr,
                              [&](jfieldID id) { return env->GetObjectField(obj, id); });
}

static jlong ReadLongField(JNIEnv *env, jobject obj, const char *name, bool *found) {
    return ReadField<jlong>(
        env, obj, name, "J", -1, [&](jfieldID id) { return env->GetLongField(obj, id); }, found);
}

jlong GetLongField(JNIEnv *env, jobject obj, const char *name) {
    return ReadLongField(env, obj, name, nullptr);
}

jdouble GetDoubleField(JNIEnv *env, jobject obj, const char *name) {
    return ReadField<jdouble>(env, obj, name, "D", -1.0,
                              [&](jfieldID id) { return env->GetDoubleField(obj, id); });
}

unsigned char GetBoolField(JNIEnv *env, jobject obj, const char *name) {
    return ReadField<unsigned char>(env, obj, name, "Z", 255, [&](jfieldID id) {
        return static_cast<unsigned char>(env->GetBooleanField(obj, id) ? 1 : 0);
    });
}

jint GetIntField(JNIEnv *env, jobject obj, const char *name) {
    return ReadField<jint>(env, obj, name, "I", -1,
                           [&](jfieldID id) { return env->GetIntField(obj, id); });
}

jbyte *GetByteArrayField(JNIEnv *env, jobject obj, const char *name, jbyteArray *array) {
    return ReadField<jbyte *>(env, obj, name, "[B", nullptr, [&](jfieldID id) -> jbyte * {
        *array = static_cast<jbyteArray>(env->GetObjectField(obj, id));
        return *array != nullptr ? env->GetByteArrayElements(*array, nullptr) : nullptr;
    });
}

void SetStringField(JNIEnv *env, jobject obj, const char *name, jstring value) {
    WriteField(env, obj, name, kStringSig, [&](jfieldID id) { env->SetObjectField(obj, id, value); });
}

void SetObjectField(JNIEnv *env, jobject obj, const char *name, jobject value) {
    WriteField(env, obj, name, kObjectSig, [&](jfieldID id) { env->SetObjectField(obj, id, value); });
}

void SetBoolField(JNIEnv *env, jobject obj, const char *name, unsigned char value) {
    WriteField(env, obj, name, "Z", [&](jfieldID id) { env->SetBooleanField(obj, id, value); });
}

void SetDoubleField(JNIEnv *env, jobject obj, const char *name, jdouble value) {
    WriteField(env, obj, name, "D", [&](jfieldID id) { env->SetDoubleField(obj, id, value); });
}

void SetLongField(JNIEnv *env, jobject obj, const char *name, unsigned long value) {
    // The platform's unsigned long reaches Java without sign.
    WriteField(env, obj, name, "J", [&](jfieldID id) {
        env->SetLongField(obj, id, static_cast<jlong>(static_cast<uint64_t>(value)));
    });
}

void SetIntField(JNIEnv *env, jobject obj, const char *name, jint value) {
    WriteField(env, obj, name, "I", [&](jfieldID id) { env->SetIntField(obj, id, value); });
}

// "p" of an object that is not null, out of line so that a null Pointer
// costs no stack guard.  A missing "p" reads as all bits set
// (the -1 of GetLongField); callers that pass addresses on ask for *found
// and never use that value.
__attribute__((noinline)) static void *ReadPointerField(JNIEnv *env, jobject pointer, bool *found) {
    bool has = false;
    void *value = NarrowAddress(ReadLongField(env, pointer, "p", &has));
    if (found != nullptr) *found = has;
    if (!has && TraceOn()) TraceDecision("Pointer", "an object without \"p\": no address is read from it");
    return value;
}

void *GetPointerValue(JNIEnv *env, jobject pointer, bool *found) {
    if (pointer == nullptr) {
        if (found != nullptr) *found = true;
        return nullptr;
    }
    return ReadPointerField(env, pointer, found);
}
