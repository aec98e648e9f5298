// Listing the system stores of a location and the physical stores of a
// system store: the platform calls back once per store, and each call
// becomes one call of the Java object's method "callback".
#if defined(_WIN32)
#include "windows/conventions_extra.h"
#include "windows/crypt32_callbacks.h"

#include <wchar.h>

static const char kSystemSignature[] =
    "(LOrvalith/Base/JNI$Pointer;ILOrvalith/Base/JNI$CERT_SYSTEM_STORE_INFO;"
    "Ljava/lang/Object;Ljava/lang/Object;)Z";
static const char kPhysicalSignature[] =
    "(LOrvalith/Base/JNI$Pointer;ILjava/lang/String;LOrvalith/Base/JNI$CERT_SYSTEM_STORE_INFO;"
    "Ljava/lang/Object;Ljava/lang/Object;)Z";

// Java lays the information records out itself; it is told only the size
// of their leading size field.
#define ORV_STORE_INFO_SIZE 4

static_assert(sizeof(CERT_SYSTEM_STORE_RELOCATE_PARA) == 8, "relocate record of the 32-bit platform");

// The system store as the platform names it: a relocate record when the
// flags say so, else a NUL-terminated UTF-16 name, whose "size" counts
// characters (Java reads it as a string, not as bytes).
static jobject StorePointer(JNIEnv *env, const void *store, DWORD flags) {
    jint size = -1;  // what NewPointer gives no store anyway
    if (store != nullptr && (flags & CERT_SYSTEM_STORE_RELOCATE_FLAG))
        size = static_cast<jint>(sizeof(CERT_SYSTEM_STORE_RELOCATE_PARA));
    else if (store != nullptr)
        size = static_cast<jint>(wcslen(static_cast<const WCHAR *>(store)));
    return NewPointer(env, store, size);
}

static jmethodID CallbackMethod(JNIEnv *env, jobject callback, const char *signature) {
    jclass cls = env->GetObjectClass(callback);
    jmethodID method = env->GetMethodID(cls, "callback", signature);
    env->DeleteLocalRef(cls);
    return method;
}

// What the Java method answered; FALSE for anything that kept it from
// answering (its exception, or the bridge's, is left for the caller).
static BOOL Answer(StoreEnumContext *context, jboolean result) {
    BOOL answer = !context->env->ExceptionCheck() && result ? TRUE : FALSE;
    if (!answer) context->stopped = true;
    return answer;
}

BOOL WINAPI SystemStoreEnumCallback(const void *system_store, DWORD flags,
                                    PCERT_SYSTEM_STORE_INFO info, void *, void *arg) {
    StoreEnumContext *context = static_cast<StoreEnumContext *>(arg);
    JNIEnv *env = context->env;
    // A platform that went on after an answer of FALSE gets FALSE again:
    // nothing may be called in Java while an exception is pending.
    if (env->ExceptionCheck()) return Answer(context, JNI_FALSE);
    jboolean result = JNI_FALSE;
    jobject store = StorePointer(env, system_store, flags);
    jobject store_info = store != nullptr ? NewPointer(env, info, ORV_STORE_INFO_SIZE) : nullptr;
    if (store_info != nullptr) {
        jmethodID method = CallbackMethod(env, context->callback, kSystemSignature);
        if (method != nullptr)
            result = env->CallBooleanMethod(context->callback, method, store,
                                            static_cast<jint>(flags), store_info,
                                            static_cast<jobject>(nullptr), context->arg);
    }
    BOOL answer = Answer(context, result);
    env->DeleteLocalRef(store_info);
    env->DeleteLocalRef(store);
    return answer;
}

BOOL WINAPI PhysicalStoreEnumCallback(const void *system_store, DWORD flags, LPCWSTR name,
                                      PCERT_PHYSICAL_STORE_INFO info, void *, void *arg) {
    StoreEnumContext *context = static_cast<StoreEnumContext *>(arg);
    JNIEnv *env = context->env;
    if (env->ExceptionCheck()) return Answer(context, JNI_FALSE);
    jboolean result = JNI_FALSE;
    jobject store = StorePointer(env, system_store, flags);
    jstring store_name = nullptr;
    bool named = store != nullptr;
    if (named && name != nullptr) {
        store_name = env->NewString(reinterpret_cast<const jchar *>(name),
                                    static_cast<jsize>(wcslen(name)));
        named = store_name != nullptr;
    }
    jobject store_info = named ? NewPointer(env, info, ORV_STORE_INFO_SIZE) : nullptr;
    if (store_info != nullptr) {
        jmethodID method = CallbackMethod(env, context->callback, kPhysicalSignature);
        if (method != nullptr)
            result = env->CallBooleanMethod(context->callback, method, store,
                                            static_cast<jint>(flags), store_name, store_info,
                                            static_cast<jobject>(nullptr), context->arg);
    }
    BOOL answer = Answer(context, result);
    env->DeleteLocalRef(store_info);
    env->DeleteLocalRef(store_name);
    env->DeleteLocalRef(store);
    return answer;
}

// An enumeration that the Java side stopped (an answer of false, an
// exception, a Pointer that could not be made) says so in the last error,
// which would otherwise be whatever the VM's own work left.
static jboolean Finished(const StoreEnumContext &context, BOOL ok) {
    if (context.stopped) SetLastError(ERROR_CANCELLED);
    return BoolOut(ok);
}

// The enumeration's line, after its last callback.
static void TraceEnum(const char *native, JNIEnv *env, jobject store, DWORD flags, jboolean answer,
                      uint64_t took) {
    DWORD error = GetLastError();
    TraceLine line;
    TraceWinBegin(&line, native);
    TraceAdd(&line, "0x%lx, ", static_cast<unsigned long>(flags));
    TracePointer(&line, env, store);
    TraceAdd(&line, ") = ");
    TraceBoolAnswer(&line, answer, error);
    TraceWinEnd(&line, WinTrace{native, kWinCalled, 0, nullptr, error, took});
    SetLastError(error);
}

static jboolean RefuseEnum(const char *native, jobject callbackObject) {
    jboolean answer = RefuseBool();
    if (TraceOn())
        TraceWinRefusal(native, callbackObject == nullptr ? "no callback object" : "a Pointer without \"p\"");
    return answer;
}

// Without a callback object there is nothing to call for any store: the
// native refuses before the platform starts listing.
extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_certEnumSystemStore(
    JNIEnv *env, jclass, jint flags, jobject location, jobject arg, jobject callbackObject) {
    StoreEnumContext context = {env, arg, callbackObject, false};
    void *block = nullptr;
    if (callbackObject == nullptr || !ReadBlock(env, location, &block))
        return RefuseEnum("certEnumSystemStore", callbackObject);
    bool traced = TraceOn();
    uint64_t started = traced ? TraceClock() : 0;
    jboolean answer = Finished(context, CertEnumSystemStore(static_cast<DWORD>(flags), block, &context,
                                                            SystemStoreEnumCallback));
    if (traced) TraceEnum("certEnumSystemStore", env, location, static_cast<DWORD>(flags), answer,
                          TraceClock() - started);
    return answer;
}

extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_certEnumPhysicalStore(
    JNIEnv *env, jclass, jobject systemStore, jint flags, jobject arg, jobject callbackObject) {
    StoreEnumContext context = {env, arg, callbackObject, false};
    void *block = nullptr;
    if (callbackObject == nullptr || !ReadBlock(env, systemStore, &block))
        return RefuseEnum("certEnumPhysicalStore", callbackObject);
    bool traced = TraceOn();
    uint64_t started = traced ? TraceClock() : 0;
    jboolean answer = Finished(context, CertEnumPhysicalStore(block, static_cast<DWORD>(flags), &context,
                                                              PhysicalStoreEnumCallback));
    if (traced) TraceEnum("certEnumPhysicalStore", env, systemStore, static_cast<DWORD>(flags), answer,
                          TraceClock() - started);
    return answer;
}

#endif
