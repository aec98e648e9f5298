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
//
// While its C_OpenSession runs, a context belongs to c_OpenSession: a
// close-all, finalise or unload meanwhile ends it (no notification reaches
// it any more), but only c_OpenSession frees it, once the module returned.
#include <stdlib.h>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"
#include "runtime/lock.h"

struct SessionContext {
    uintptr_t serial;             /* what the module holds as pApplication: odd */
    JavaVM *vm;                   /* finds an environment on any thread */
    JNIEnv *opener;               /* the environment of c_OpenSession ... */
    bool opening;                 /* ... while its C_OpenSession runs */
    jobject application;          /* global reference */
    jobject callback;             /* global reference */
    TokenModule *record;          /* the handle it was opened through ... */
    void *library;                /* ... and the module instance behind it */
    CK_SLOT_ID slot;
    CK_SESSION_HANDLE session;
    bool session_known;           /* set once C_OpenSession gave a handle */
    int32_t in_flight;            /* notifications running now */
    bool ended;
    SessionContext *next;
};

static OrvLock contexts_lock = ORV_LOCK_INIT;
static SessionContext *contexts;  /* live contexts; ended ones are unlinked */
static SessionContext *orphans;   /* ended on a thread without an environment */
static uintptr_t last_serial = static_cast<uintptr_t>(-1);
static JavaVM *opener_vm;         /* atomic: the VM of the latest c_OpenSession */

static void DeleteContext(JNIEnv *env, SessionContext *context) {
    env->DeleteGlobalRef(context->application);
    env->DeleteGlobalRef(context->callback);
    free(context);
}

// Global references need an environment to be deleted; a context that
// ended on a thread the VM would not attach waits here for the next one.
static void DeleteOrphans(JNIEnv *env) {
    if (__atomic_load_n(&orphans, __ATOMIC_ACQUIRE) == nullptr) return;
    LockAcquire(&contexts_lock);
    SessionContext *list = orphans;
    __atomic_store_n(&orphans, static_cast<SessionContext *>(nullptr), __ATOMIC_RELEASE);
    LockRelease(&contexts_lock);
    while (list != nullptr) {
        SessionContext *next = list->next;
        DeleteContext(env, list);
        list = next;
    }
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
    __atomic_store_n(&opener_vm, context->vm, __ATOMIC_RELEASE);
    DeleteOrphans(env);
    context->application = application != nullptr ? env->NewGlobalRef(application) : nullptr;
    context->callback = callback != nullptr ? env->NewGlobalRef(callback) : nullptr;
    context->record = module;
    context->library = module->library;
    context->slot = slot;
    LockAcquire(&contexts_lock);
    last_serial += 2;  // from 1: odd, and apart from any record's address
    context->serial = last_serial;
    context->next = contexts;
    contexts = context;
    LockRelease(&contexts_lock);
    return context;
}

// Unlinks every live context that matches and deletes those that neither a
// notification nor their c_OpenSession is using; the last of those deletes
// the others.
template <typename Match>
static void EndContexts(JNIEnv *env, Match match) {
    SessionContext *done = nullptr;
    DeleteOrphans(env);
    LockAcquire(&contexts_lock);
    for (SessionContext **link = &contexts; *link != nullptr;) {
        SessionContext *context = *link;
        if (!match(context)) {
            link = &context->next;
            continue;
        }
        *link = context->next;
        context->ended = true;
        if (context->in_flight == 0 && !context->opening) {
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

// Sessions belong to the module instance, not to the handle: two loads of
// one file share the library, and a close or finalise through either
// handle closes the sessions opened through the other.
void EndSessionContexts(JNIEnv *env, TokenModule *module, jlong session) {
    CK_SESSION_HANDLE handle = NarrowUlong(session);
    EndContexts(env, [&](SessionContext *c) {
        return c->library == module->library && c->session_known && c->session == handle;
    });
}

void EndSlotContexts(JNIEnv *env, TokenModule *module, jlong slot) {
    CK_SLOT_ID id = NarrowUlong(slot);
    EndContexts(env, [&](SessionContext *c) { return c->library == module->library && c->slot == id; });
}

void EndInstanceContexts(JNIEnv *env, TokenModule *module, jlong) {
    EndContexts(env, [&](SessionContext *c) { return c->library == module->library; });
}

// The record is only compared, never read: it is being released.
void EndHandleContexts(JNIEnv *env, TokenModule *module) {
    EndContexts(env, [&](SessionContext *c) { return c->record == module; });
}

// The live context with this serial, marked in use, and whether its
// c_OpenSession still runs; null when it ended.
static SessionContext *EnterContext(void *application, bool *opening) {
    uintptr_t serial = reinterpret_cast<uintptr_t>(application);
    LockAcquire(&contexts_lock);
    SessionContext *context = contexts;
    while (context != nullptr && context->serial != serial) context = context->next;
    if (context != nullptr) {
        context->in_flight++;
        *opening = context->opening;
    }
    LockRelease(&contexts_lock);
    return context;
}

// Without an environment (a thread the VM refused to attach) an ended
// context waits among the orphans for a thread that has one.
static void LeaveContext(JNIEnv *env, SessionContext *context) {
    LockAcquire(&contexts_lock);
    bool last = --context->in_flight == 0 && context->ended && !context->opening;
    if (last && env == nullptr) {
        context->next = orphans;
        __atomic_store_n(&orphans, context, __ATOMIC_RELEASE);
    }
    LockRelease(&contexts_lock);
    if (env == nullptr) return;
    if (last) DeleteContext(env, context);
    DeleteOrphans(env);
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

// The VM that environments of this process belong to.
static JavaVM *ProcessVm() {
#if !defined(_WIN32)
    if (jvm != nullptr) return jvm;
#endif
    return __atomic_load_n(&opener_vm, __ATOMIC_ACQUIRE);
}

// A record of other native code: its environment, on its thread only; what
// the method throws stays pending for that code to see.  From any other
// thread the record's environment and its references (locals, as likely
// as not) are unusable, so the notification is dropped with CKR_OK.
static CK_RV NotifyThroughRecord(const NotifyContext *record, CK_SESSION_HANDLE session,
                                 CK_NOTIFICATION event) {
    JNIEnv *env = record->env;
    JavaVM *vm = ProcessVm();
    JNIEnv *current = nullptr;
    bool own_thread = env != nullptr && vm != nullptr &&
                      vm->GetEnv(reinterpret_cast<void **>(&current), JNI_VERSION_1_4) == JNI_OK &&
                      current == env;
    CK_RV rv = CKR_OK;
    if (own_thread) {
        jthrowable held = ShelvePending(env);
        rv = CallJava(env, record->callback, record->application, session, event);
        RestorePending(env, held);
    }
    if (TraceOn())
        TraceNotification(session, event, record,
                          own_thread ? "delivered through a record of other native code, on its thread"
                                     : "dropped: a record of other native code, not on its thread",
                          rv);
    return rv;
}

CK_RV COpenSessionCallback(CK_SESSION_HANDLE session, CK_NOTIFICATION event, void *application) {
    uintptr_t value = reinterpret_cast<uintptr_t>(application);
    if (value != 0 && value % 2 == 0)
        return NotifyThroughRecord(static_cast<const NotifyContext *>(application), session, event);
    bool opening = false;
    SessionContext *context = EnterContext(application, &opening);
    if (context == nullptr) {
        if (TraceOn()) TraceNotification(session, event, application, "dropped: no live session context", CKR_OK);
        return CKR_OK;
    }
    JavaVM *vm = context->vm;
    JNIEnv *env = nullptr;
    bool attached = false;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_4) != JNI_OK) {
        if (vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr) != JNI_OK) {
            LeaveContext(nullptr, context);
            if (TraceOn())
                TraceNotification(session, event, application, "dropped: the VM would not attach this thread", CKR_OK);
            return CKR_OK;
        }
        attached = true;
    }
    // Inside the caller's c_OpenSession its Java caller sees what the method
    // threw; anywhere else no caller can, so it is described and cleared.
    bool caller_sees = opening && env == context->opener;
    jthrowable held = ShelvePending(env);
    CK_RV rv = CallJava(env, context->callback, context->application, session, event);
    if (!caller_sees && env->ExceptionCheck()) env->ExceptionDescribe();
    RestorePending(env, held);
    LeaveContext(env, context);
    if (attached) vm->DetachCurrentThread();
    if (TraceOn())
        TraceNotification(session, event, application,
                          attached ? "delivered on a thread attached for it" : "delivered on a Java thread", rv);
    return rv;
}

// C_OpenSession returned.  A session it opened is recorded so that closing
// it ends the context; a failed open ends it.  A context that ended while
// opening (or ends now) goes once no notification is using it.
static void FinishOpen(JNIEnv *env, SessionContext *context, CK_RV rv, CK_SESSION_HANDLE session) {
    LockAcquire(&contexts_lock);
    if (!context->ended && rv == CKR_OK) {
        context->session = session;
        context->session_known = true;
    } else if (!context->ended) {
        SessionContext **link = &contexts;
        while (*link != context) link = &(*link)->next;
        *link = context->next;
        context->ended = true;
    }
    context->opening = false;
    bool unused = context->ended && context->in_flight == 0;
    LockRelease(&contexts_lock);
    if (unused) DeleteContext(env, context);
}

// c_OpenSession with its module held; the call's outcome in *call.
static void OpenWithContext(JNIEnv *env, TokenModule *module, jlong slot, jlong flags,
                            jobject application, jobject callback, jlongArray session,
                            TokenTrace *call, CK_SESSION_HANDLE *opened) {
    CK_C_OpenSession open = module->functions->C_OpenSession;
    if (open == nullptr) {
        call->outcome = kTokenNoEntry;
        return;
    }
    call->outcome = kTokenRefused;
    call->rv = CKR_ARGUMENTS_BAD;
    if (!CellUsable(env, session)) {
        call->unusable = 1u << 4;  // the session cell
        return;
    }
    CK_SLOT_ID slot_id = NarrowUlong(slot);
    SessionContext *context = NewContext(env, module, slot_id, application, callback);
    if (context == nullptr) {
        // Refused with no argument to blame: the bridge had no memory.
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        call->rv = CKR_HOST_MEMORY;
        return;
    }
    call->outcome = kTokenCalled;
    bool traced = TraceOn();
    uint64_t started = traced ? TraceClock() : 0;
    call->rv = open(slot_id, NarrowUlong(flags), reinterpret_cast<void *>(context->serial),
                    COpenSessionCallback, opened);
    if (traced) call->took = TraceClock() - started;
    FinishOpen(env, context, call->rv, *opened);
    WriteLongCell(env, session, WidenUlong(*opened));
}

static void TraceOpen(const TokenTrace &call, jlong slot, jlong flags, jobject application,
                      jobject callback, CK_SESSION_HANDLE opened) {
    TraceLine line;
    TraceTokenBegin(&line, call);
    TraceAdd(&line, ", 0x%lx, 0x%lx, application=%s, callback=%s, ", static_cast<unsigned long>(NarrowUlong(slot)),
             static_cast<unsigned long>(NarrowUlong(flags)), application != nullptr ? "object" : "null",
             callback != nullptr ? "object" : "null");
    if (call.unusable != 0) TraceAdd(&line, "<a null or empty cell>");
    else TraceCell(&line, false, 0, call.outcome == kTokenCalled, opened);
    TraceTokenEnd(&line, call);
}

extern "C" JNIEXPORT jlong JNICALL Java_Orvalith_Base_JNI_c_1OpenSession(
    JNIEnv *env, jclass, jlong handle, jlong slot, jlong flags, jobject application,
    jobject callback, jlongArray session) {
    TokenTrace call{"c_OpenSession", handle, 0, kTokenNotLive, CKR_NO_FUNCTION, 0};
    CK_SESSION_HANDLE opened = CK_INVALID_HANDLE;
    TokenModule *module = EnterModule(env, handle);
    if (module != nullptr) {
        OpenWithContext(env, module, slot, flags, application, callback, session, &call, &opened);
        LeaveModule(env, module);
    }
    if (TraceOn()) TraceOpen(call, slot, flags, application, callback, opened);
    return WidenUlong(call.rv);
}

size_t LiveSessionContexts(void) {
    size_t count = 0;
    LockAcquire(&contexts_lock);
    for (SessionContext *context = contexts; context != nullptr; context = context->next) count++;
    LockRelease(&contexts_lock);
    return count;
}
