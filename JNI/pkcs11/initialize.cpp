// c_Initialize: a Java argument object becomes the CK_C_INITIALIZE_ARGS
// record (or its NSS-style variant) for the length of one C_Initialize.
#include <stdlib.h>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"

static_assert(sizeof(CK_C_INITIALIZE_ARGS) == 6 * sizeof(void *), "plain record: 48 or 24 bytes");
static_assert(sizeof(NssInitializeArgs) == 7 * sizeof(void *), "NSS record: 56 or 28 bytes");
static_assert(offsetof(NssInitializeArgs, LibraryParameters) == 5 * sizeof(void *) &&
                  offsetof(NssInitializeArgs, pReserved) == 6 * sizeof(void *),
              "LibraryParameters stands before pReserved");

int IsNSS(JNIEnv *env, jobject args) {
    jthrowable held = ShelvePending(env);
    jclass cls = env->FindClass(ORV_NSS_ARGS_CLASS);
    // Without the class nothing is of its kind; its lookup error is not ours.
    if (cls == nullptr) env->ExceptionClear();
    bool nss = cls != nullptr && env->IsInstanceOf(args, cls);
    env->DeleteLocalRef(cls);
    RestorePending(env, held);
    return nss ? 1 : 0;
}

// The members both records share, read in their order.
template <typename Record>
static void FillCommon(JNIEnv *env, jobject args, Record *record) {
    bool mutexes = GetBoolField(env, args, "useMutexes") != 0;  // a missing field's 255 is true
    record->CreateMutex = mutexes ? CreateMutexCallback : nullptr;
    record->DestroyMutex = mutexes ? DestroyMutexCallback : nullptr;
    record->LockMutex = mutexes ? LockMutexCallback : nullptr;
    record->UnlockMutex = mutexes ? UnlockMutexCallback : nullptr;
    record->flags = NarrowUlong(GetLongField(env, args, "flags"));
    record->pReserved = NarrowAddress(GetLongField(env, args, "pReserved"));
}

void ObjToSimpleInitializeArgs(JNIEnv *env, jobject args, CK_C_INITIALIZE_ARGS *record) {
    FillCommon(env, args, record);
}

#if defined(_WIN32)
// Windows takes the parameters as a String, converted to ANSI text that the
// bridge owns until C_Initialize returns; it is read first.
void ObjToNssInitializeArgs(JNIEnv *env, jobject args, NssInitializeArgs *record) {
    jstring params = GetStringField(env, args, "LibraryParams");
    record->LibraryParameters = params != nullptr ? jstringToWindows(env, params) : nullptr;
    env->DeleteLocalRef(params);
    FillCommon(env, args, record);
}
#else
// The parameters are an address in native memory that the Java side
// prepared; the bridge neither copies nor releases what it points to.
void ObjToNssInitializeArgs(JNIEnv *env, jobject args, NssInitializeArgs *record) {
    FillCommon(env, args, record);
    record->LibraryParameters = NarrowAddress(GetLongField(env, args, "LibraryParams"));
}
#endif

// Builds the record of the object's kind; null for a null object or when no
// record can be allocated (C_Initialize then gets null, as for no object).
static void *BuildInitializeArgs(JNIEnv *env, jobject args, bool *nss) {
    *nss = false;
    if (args == nullptr) return nullptr;
    if (IsNSS(env, args)) {
        NssInitializeArgs *record = static_cast<NssInitializeArgs *>(malloc(sizeof *record));
        if (record != nullptr) ObjToNssInitializeArgs(env, args, record);
        *nss = record != nullptr;
        return record;
    }
    CK_C_INITIALIZE_ARGS *record = static_cast<CK_C_INITIALIZE_ARGS *>(malloc(sizeof *record));
    if (record != nullptr) ObjToSimpleInitializeArgs(env, args, record);
    return record;
}

void *ObjToInitializeArgs(JNIEnv *env, jobject args) {
    bool nss;
    return BuildInitializeArgs(env, args, &nss);
}

// "args=null", or the record's members as the module gets them.
static void TraceArgs(TraceLine *line, const void *record, bool nss) {
    if (record == nullptr) return TraceAdd(line, ", args=null");
    const CK_C_INITIALIZE_ARGS *args = static_cast<const CK_C_INITIALIZE_ARGS *>(record);
    TraceAdd(line, ", args={%sflags 0x%lx, mutexes %s", nss ? "NSS, " : "",
             static_cast<unsigned long>(args->flags), args->CreateMutex != nullptr ? "the bridge's" : "none");
    if (nss) {
        const void *parameters = static_cast<const NssInitializeArgs *>(record)->LibraryParameters;
#if defined(_WIN32)
        TraceAdd(line, ", parameters ");
        TraceQuoted(line, static_cast<const char *>(parameters));
#else
        TraceAdd(line, ", parameters 0x%lx", TraceBits(parameters));
#endif
    }
    TraceAdd(line, "}");
}

extern "C" JNIEXPORT jlong JNICALL Java_Orvalith_Base_JNI_c_1Initialize(JNIEnv *env, jclass,
                                                                       jlong handle, jobject args) {
    TokenTrace call{"c_Initialize", handle, 0, kTokenNotLive, CKR_NO_FUNCTION, 0};
    bool traced = TraceOn();
    TraceLine line;
    TokenModule *module = EnterModule(env, handle);
    if (traced) TraceTokenBegin(&line, call);
    if (module != nullptr) {
        CK_C_Initialize initialize = module->functions->C_Initialize;
        call.outcome = initialize != nullptr ? kTokenCalled : kTokenNoEntry;
        if (initialize != nullptr) {
            bool nss;
            void *record = BuildInitializeArgs(env, args, &nss);
            if (traced) TraceArgs(&line, record, nss);
            uint64_t started = traced ? TraceClock() : 0;
            call.rv = initialize(record);
            if (traced) call.took = TraceClock() - started;
#if defined(_WIN32)
            if (nss) free(static_cast<NssInitializeArgs *>(record)->LibraryParameters);
#endif
            free(record);
        }
        LeaveModule(env, module);
    }
    if (traced) TraceTokenEnd(&line, call);
    return WidenUlong(call.rv);
}
