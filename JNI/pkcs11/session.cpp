// c_OpenSession and session notifications.
//
// A module keeps the pApplication it was given for the whole session and
// may notify from any thread, also after c_OpenSession has returned.  So
// the context lives on the heap with global references until its session
// ends, and the module is never given its address: pApplication is a
// serial number that the notification looks up among the live contexts.
// A notification for a context that has ended finds nothing and touches
// nothing; one in flight keeps its context alive until it returns.
//
// Serial numbers are odd.  An even pApplication is no session of ours but
// the address of a NotifyContext (orvjni.h) that other native code made.
#include <stdlib.h>

#include "pkcs11/token_module.h"
#include "runtime/lock.h"

struct SessionContext {
    uintptr_t serial;             /* what the module holds as pApplication: odd */
    JavaVM *vm;                   /* finds an environment on any thread */
    JNIEnv *opener;               /* the environment of c_OpenSession ... */
    bool opening;                 /* ... while its C_OpenSession runs */
    jobject application;          /* global reference */
    jobject callback;             /* global reference */
    TokenModule *module;
    CK_SLOT_ID slot;
    CK_SESSION_HANDLE session;
    bool session_known;           /* set once C_OpenSession gave a handle */
    int32_t in_flight;            /* notifications running now */
    bool ended;
    SessionContext *next;
};

static OrvLock contexts_lock = ORV_LOCK_INIT;
static SessionContext *contexts;  /* live contexts; ended ones are unlinked */
static uintptr_t last_serial = static_cast<uintptr_t>(-1);

static void DeleteContext(JNIEnv *env, SessionContext *context) {
    env->DeleteGlobalRef(context->application);
    env->DeleteGlobalRef(context->callback);
    free(context);
}

static SessionContext *NewContext(JNIEnv *env, TokenModule *module, CK_SLOT_ID slot,
                                 jobject application, jobject callback) {
    SessionContext *context = static_cast<SessionContext *>(calloc(1, sizeof(SessionContext)));
    if (context == nullptr) return nullptr;
    if (env->GetJavaVM(&context->vm) != JNI_OK) {
        free(context);
        return nullptr;
    }
    context->opener = env;
    context->opening = true;
    context->application = application != nullptr ? env->NewGlobalRef(application) : nullptr;
    context->callback = callback != nullptr ? env->NewGlobalRef(callback) : nullptr;
    context->module = module;
    context->slot = slot;
    LockAcquire(&contexts_lock);
    last_serial += 2;  // from 1: odd, and apart from any record's address
    context->serial = last_serial;
    context->next = contexts;
    contexts = context;
    LockRelease(&contexts_lock);
    return context;
}

// Unlinks every live context that matches and deletes those no
// notification is using; the last notification deletes the others.
template <typename Match>
static void EndContexts(JNIEnv *env, Match match) {
    SessionContext *done = nullptr;
    LockAcquire(&contexts_lock);
    for (SessionContext **link = &contexts; *link != nullptr;) {
        SessionContext *context = *link;
        if (!match(context)) {
            link = &context->next;
            continue;
        }
        *link = context->next;
        context->ended = true;
        if (context->in_flight == 0) {
            context->next = done;
            done = context;
        }
    }
    LockRelease(&contexts_lock);
    while (done != nullptr) {
        SessionContext *next = done->next;
        DeleteContext(env, done);
        done = next;
    }
}

void EndSessionContexts(JNIEnv *env, TokenModule *module, jlong session) {
    CK_SESSION_HANDLE handle = NarrowUlong(session);
    EndContexts(env, [&](SessionContext *c) {
        return c->module == module && c->session_known && c->session == handle;
    });
}

void EndSlotContexts(JNIEnv *env, TokenModule *module, jlong slot) {
    CK_SLOT_ID id = NarrowUlong(slot);
    EndContexts(env, [&](SessionContext *c) { return c->module == module && c->slot == id; });
}

void EndModuleContexts(JNIEnv *env, TokenModule *module, jlong) {
    EndContexts(env, [&](SessionContext *c) { return c->module == module; });
}

// The live context with this serial, marked in use; null when it ended.
static SessionContext *EnterContext(void *application) {
    uintptr_t serial = reinterpret_cast<uintptr_t>(application);
    LockAcquire(&contexts_lock);
    SessionContext *context = contexts;
    while (context != nullptr && context->serial != serial) context = context->next;
    if (context != nullptr) context->in_flight++;
    LockRelease(&contexts_lock);
    return context;
}

// Without an environment (a thread the VM refused to attach) the global
// references cannot be deleted; the record still is.
static void LeaveContext(JNIEnv *env, SessionContext *context) {
    LockAcquire(&contexts_lock);
    bool last = --context->in_flight == 0 && context->ended;
    LockRelease(&contexts_lock);
    if (!last) return;
    if (env != nullptr)
        DeleteContext(env, context);
    else
        free(context);
}

// Calls callback.callback(session, event, application).  A missing method
// or a null callback object answers CKR_OK.
static CK_RV CallJava(JNIEnv *env, jobject callback, jobject application,
                      CK_SESSION_HANDLE session, CK_NOTIFICATION event) {
    if (callback == nullptr) return CKR_OK;
    jclass cls = env->GetObjectClass(callback);
    jmethodID method = env->GetMethodID(cls, "callback", "(JJLjava/lang/Object;)J");
    env->DeleteLocalRef(cls);
    if (method == nullptr) {
        env->ExceptionClear();
        return CKR_OK;
    }
    jlong result = env->CallLongMethod(callback, method, WidenUlong(session), WidenUlong(event),
                                       application);
    return NarrowUlong(result);
}

// A record of other native code: its environment, on its thread; what the
// method throws stays pending for that code to see.
static CK_RV NotifyThroughRecord(const NotifyContext *record, CK_SESSION_HANDLE session,
                                 CK_NOTIFICATION event) {
    JNIEnv *env = record->env;
    if (env == nullptr) return CKR_OK;
    jthrowable held = ShelvePending(env);
    CK_RV rv = CallJava(env, record->callback, record->application, session, event);
    RestorePending(env, held);
    return rv;
}

CK_RV COpenSessionCallback(CK_SESSION_HANDLE session, CK_NOTIFICATION event, void *application) {
    uintptr_t value = reinterpret_cast<uintptr_t>(application);
    if (value != 0 && value % 2 == 0)
        return NotifyThroughRecord(static_cast<const NotifyContext *>(application), session, event);
    SessionContext *context = EnterContext(application);
    if (context == nullptr) return CKR_OK;
    JavaVM *vm = context->vm;
    JNIEnv *env = nullptr;
    bool attached = false;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_4) != JNI_OK) {
        if (vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr) != JNI_OK) {
            LeaveContext(nullptr, context);
            return CKR_OK;
        }
        attached = true;
    }
    // Inside the caller's c_OpenSession its Java caller sees what the method
    // threw; anywhere else no caller can, so it is described and cleared.
    // (Only the opener's own thread reads "opening".)
    bool caller_sees = env == context->opener && context->opening;
    jthrowable held = ShelvePending(env);
    CK_RV rv = CallJava(env, context->callback, context->application, session, event);
    if (!caller_sees && env->ExceptionCheck()) env->ExceptionDescribe();
    RestorePending(env, held);
    LeaveContext(env, context);
    if (attached) vm->DetachCurrentThread();
    return rv;
}

// The session handle the module gave, recorded so that closing it ends the
// context.
static void OpenedContext(SessionContext *context, CK_SESSION_HANDLE session) {
    LockAcquire(&contexts_lock);
    context->session = session;
    context->session_known = true;
    LockRelease(&contexts_lock);
    context->opening = false;
}

extern "C" JNIEXPORT jlong JNICALL Java_Orvalith_Base_JNI_c_1OpenSession(
    JNIEnv *env, jclass, jlong handle, jlong slot, jlong flags, jobject application,
    jobject callback, jlongArray session) {
    TokenModule *module = ModuleFromHandle(handle);
    if (module == nullptr || module->functions->C_OpenSession == nullptr)
        return WidenUlong(CKR_NO_FUNCTION);
    if (!CellUsable(env, session)) return WidenUlong(CKR_ARGUMENTS_BAD);
    CK_SLOT_ID slot_id = NarrowUlong(slot);
    SessionContext *context = NewContext(env, module, slot_id, application, callback);
    if (context == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return WidenUlong(CKR_HOST_MEMORY);
    }
    CK_SESSION_HANDLE opened = CK_INVALID_HANDLE;
    CK_RV rv = module->functions->C_OpenSession(slot_id, NarrowUlong(flags),
                                                reinterpret_cast<void *>(context->serial),
                                                COpenSessionCallback, &opened);
    if (rv == CKR_OK) {
        OpenedContext(context, opened);
    } else {
        context->opening = false;
        SessionContext *failed = context;
        EndContexts(env, [&](SessionContext *c) { return c == failed; });
    }
    WriteLongCell(env, session, WidenUlong(opened));
    return WidenUlong(rv);
}
