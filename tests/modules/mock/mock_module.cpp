/*
 * Instrumented Cryptoki module for the bridge's tests.
 *
 * Every Cryptoki call is recorded with its raw arguments and answered from a
 * script; nothing is ever interpreted.  The same source builds every variant
 * (see CMakeLists.txt), selected by these definitions:
 *
 *   MOCK_VARIANT_NAME   name reported by mock_variant()
 *   MOCK_WITH_GFL       export C_GetFunctionList
 *   MOCK_GFL_FAILS      C_GetFunctionList answers CKR_GENERAL_ERROR by default
 *   MOCK_GFL_NULL       C_GetFunctionList answers CKR_OK and hands out no table
 *   MOCK_WITH_WAIT      export C_WaitForSlotEvent
 *   MOCK_LAYOUT_SLOTS4  (Windows) hand out a table with 4-byte entry slots
 *                       instead of the header's 1-byte-packed layout
 *   MOCK_INIT_AT_00     (Windows, packed) C_Initialize at a 256-byte
 *                       boundary, so the packed table's third byte is zero
 */

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
/* The header marks the Cryptoki names dllexport only for the module itself. */
#  define CRYPTOKI_EXPORTS
#else
#  include <pthread.h>
#  include <sched.h>
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* The library is built with hidden visibility; the Cryptoki names (declared
   by the header) and the control API are the only ones that must be seen. */
#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif
#include <p11-kit/pkcs11.h>
#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif

#define MOCK_BUILDING_MODULE 1
#include "mock_control.h"

#ifndef MOCK_VARIANT_NAME
#  define MOCK_VARIANT_NAME "mockp11"
#endif
#ifndef MOCK_WITH_GFL
#  define MOCK_WITH_GFL 1
#endif
#ifndef MOCK_GFL_FAILS
#  define MOCK_GFL_FAILS 0
#endif
#ifndef MOCK_GFL_NULL
#  define MOCK_GFL_NULL 0
#endif
#ifndef MOCK_WITH_WAIT
#  define MOCK_WITH_WAIT 1
#endif
#ifndef MOCK_LAYOUT_SLOTS4
#  define MOCK_LAYOUT_SLOTS4 0
#endif
#ifndef MOCK_INIT_AT_00
#  define MOCK_INIT_AT_00 0
#endif
#if MOCK_INIT_AT_00 && (MOCK_LAYOUT_SLOTS4 || !defined(_WIN32))
#  error "C_Initialize's placement matters only in a packed Windows table"
#endif
#if MOCK_LAYOUT_SLOTS4 && !defined(_WIN32)
#  error "the 4-byte-slot table only differs from the native layout on Windows x86"
#endif

/* ------------------------------------------------------------------------ */
/* Platform: one lock, native threads, thread identity                       */

typedef void (*ThreadBody)(void *);

struct NativeThread {
#if defined(_WIN32)
    HANDLE handle;
#else
    pthread_t handle;
#endif
    ThreadBody body;
    void *arg;
    int started;
};

#if defined(_WIN32)
static SRWLOCK g_lock = SRWLOCK_INIT;
static void lock(void) { AcquireSRWLockExclusive(&g_lock); }
static void unlock(void) { ReleaseSRWLockExclusive(&g_lock); }

static DWORD WINAPI thread_trampoline(LPVOID p)
{
    NativeThread *t = static_cast<NativeThread *>(p);
    t->body(t->arg);
    return 0;
}

static int thread_start(NativeThread *t, ThreadBody body, void *arg)
{
    t->body = body;
    t->arg = arg;
    t->handle = CreateThread(NULL, 0, thread_trampoline, t, 0, NULL);
    t->started = t->handle != NULL;
    return t->started;
}

static void thread_join(NativeThread *t)
{
    if (!t->started)
        return;
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    t->started = 0;
}

static void thread_yield(void) { SwitchToThread(); }
static uint64_t current_thread(void) { return (uint64_t)GetCurrentThreadId(); }
#else
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static void lock(void) { pthread_mutex_lock(&g_lock); }
static void unlock(void) { pthread_mutex_unlock(&g_lock); }

static void *thread_trampoline(void *p)
{
    NativeThread *t = static_cast<NativeThread *>(p);
    t->body(t->arg);
    return NULL;
}

static int thread_start(NativeThread *t, ThreadBody body, void *arg)
{
    t->body = body;
    t->arg = arg;
    t->started = pthread_create(&t->handle, NULL, thread_trampoline, t) == 0;
    return t->started;
}

static void thread_join(NativeThread *t)
{
    if (!t->started)
        return;
    pthread_join(t->handle, NULL);
    t->started = 0;
}

static void thread_yield(void) { sched_yield(); }
/* pthread_t is an integer on some systems and a pointer on others. */
static uint64_t current_thread(void) { return (uint64_t)(uintptr_t)pthread_self(); }
#endif

/* ------------------------------------------------------------------------ */
/* State.  Everything is plain data guarded by g_lock.                       */

typedef CK_RV (*CreateMutexFn)(void **);
typedef CK_RV (*MutexFn)(void *);

struct Session {
    int used;
    int open;
    CK_SESSION_HANDLE handle;
    CK_SLOT_ID slot;
    CK_NOTIFY notify;
    void *application;
};

#define MAX_SESSIONS 256

static MockRecord *g_records;
static int g_record_count;
static int g_record_capacity;

static CK_RV g_results[MOCK_ENTRY_COUNT];
static unsigned char g_result_scripted[MOCK_ENTRY_COUNT];
static CK_ULONG g_out_value[MOCK_ENTRY_COUNT][MOCK_MAX_ARGS];
static unsigned char g_out_scripted[MOCK_ENTRY_COUNT][MOCK_MAX_ARGS];

static int g_init_words = 6;
static CreateMutexFn g_create_mutex;
static MutexFn g_destroy_mutex;
static MutexFn g_lock_mutex;
static MutexFn g_unlock_mutex;
static uint64_t g_mutex_counter;

static Session g_sessions[MAX_SESSIONS];
static CK_SESSION_HANDLE g_next_session = MOCK_FIRST_SESSION_HANDLE;
static int g_open_notify_enabled;
static CK_NOTIFICATION g_open_notify_event;
static int g_open_notify_count;
static CK_RV g_open_notify_result = MOCK_RV_NO_CALLBACK;
static int g_stale_notify;
static uint64_t g_last_notify_thread;
static int g_open_thread_count;
static CK_NOTIFICATION g_open_thread_event;

static const char *const k_entry_names[MOCK_ENTRY_COUNT] = {
    "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList",
    "C_GetSlotList", "C_GetSlotInfo", "C_GetTokenInfo", "C_GetMechanismList",
    "C_GetMechanismInfo", "C_InitToken", "C_InitPIN", "C_SetPIN",
    "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_GetSessionInfo",
    "C_GetOperationState", "C_SetOperationState", "C_Login", "C_Logout",
    "C_CreateObject", "C_CopyObject", "C_DestroyObject", "C_GetObjectSize",
    "C_GetAttributeValue", "C_SetAttributeValue", "C_FindObjectsInit", "C_FindObjects",
    "C_FindObjectsFinal", "C_EncryptInit", "C_Encrypt", "C_EncryptUpdate",
    "C_EncryptFinal", "C_DecryptInit", "C_Decrypt", "C_DecryptUpdate",
    "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate",
    "C_DigestKey", "C_DigestFinal", "C_SignInit", "C_Sign",
    "C_SignUpdate", "C_SignFinal", "C_SignRecoverInit", "C_SignRecover",
    "C_VerifyInit", "C_Verify", "C_VerifyUpdate", "C_VerifyFinal",
    "C_VerifyRecoverInit", "C_VerifyRecover", "C_DigestEncryptUpdate", "C_DecryptDigestUpdate",
    "C_SignEncryptUpdate", "C_DecryptVerifyUpdate", "C_GenerateKey", "C_GenerateKeyPair",
    "C_WrapKey", "C_UnwrapKey", "C_DeriveKey", "C_SeedRandom",
    "C_GenerateRandom", "C_GetFunctionStatus", "C_CancelFunction", "C_WaitForSlotEvent",
};

static int valid_entry(int entry) { return entry >= 0 && entry < MOCK_ENTRY_COUNT; }
static int valid_arg(int arg) { return arg >= 0 && arg < MOCK_MAX_ARGS; }

/* ------------------------------------------------------------------------ */
/* Recording                                                                 */

static MockArg ulong_arg(CK_ULONG v)
{
    MockArg a = {MOCK_ARG_ULONG, 0, (uint64_t)v, 0};
    return a;
}

static MockArg ptr_arg(const void *p)
{
    MockArg a = {MOCK_ARG_POINTER, 0, (uint64_t)(uintptr_t)p, 0};
    return a;
}

static MockArg notify_arg(CK_NOTIFY f)
{
    MockArg a = {MOCK_ARG_POINTER, 0, (uint64_t)reinterpret_cast<uintptr_t>(f), 0};
    return a;
}

static MockArg cell_arg(CK_ULONG *p)
{
    MockArg a = {MOCK_ARG_CELL, 0, (uint64_t)(uintptr_t)p, 0};
    return a;
}

static MockArg bool_arg(CK_BBOOL b)
{
    MockArg a = {MOCK_ARG_BBOOL, 0, (uint64_t)b, 0};
    return a;
}

static CK_ULONG *cell_of(const MockArg *a)
{
    return reinterpret_cast<CK_ULONG *>((uintptr_t)a->value);
}

/* Appends a record (reading every cell first) and returns it, or NULL when
   memory ran out; the call itself goes on either way.  Caller holds g_lock. */
static MockRecord *append_record_locked(int entry, const MockArg *args, int nargs, CK_RV rv)
{
    if (g_record_count == g_record_capacity) {
        int capacity = g_record_capacity ? g_record_capacity * 2 : 256;
        void *grown = realloc(g_records, (size_t)capacity * sizeof(MockRecord));
        if (grown == NULL)
            return NULL;
        g_records = static_cast<MockRecord *>(grown);
        g_record_capacity = capacity;
    }
    MockRecord *r = &g_records[g_record_count++];
    memset(r, 0, sizeof *r);
    r->entry = entry;
    r->nargs = nargs;
    r->thread = current_thread();
    r->rv = (uint64_t)rv;
    for (int i = 0; i < nargs && i < MOCK_MAX_ARGS; ++i) {
        r->args[i] = args[i];
        if (args[i].kind == MOCK_ARG_CELL && args[i].value != 0) {
            r->args[i].has_pointee = 1;
            r->args[i].pointee = (uint64_t)*cell_of(&args[i]);
        }
    }
    return r;
}

/* Only scripted cells are written: tests prove in/out behaviour by seeing
   an untouched cell come back unchanged.  Caller holds g_lock. */
static void write_scripted_cells_locked(int entry, const MockArg *args, int nargs)
{
    for (int i = 0; i < nargs && i < MOCK_MAX_ARGS; ++i) {
        if (args[i].kind == MOCK_ARG_CELL && args[i].value != 0 && g_out_scripted[entry][i])
            *cell_of(&args[i]) = g_out_value[entry][i];
    }
}

static CK_RV plain_call(int entry, const MockArg *args, int nargs)
{
    lock();
    CK_RV rv = g_results[entry];
    append_record_locked(entry, args, nargs, rv);
    write_scripted_cells_locked(entry, args, nargs);
    unlock();
    return rv;
}

#define MOCK_CALL(entry, ...)                                                  \
    do {                                                                       \
        const MockArg args_[] = {__VA_ARGS__};                                 \
        return plain_call((entry), args_, (int)(sizeof args_ / sizeof args_[0])); \
    } while (0)

/* ------------------------------------------------------------------------ */
/* Sessions (caller holds g_lock)                                            */

static Session *find_session_locked(CK_SESSION_HANDLE h)
{
    for (int i = 0; i < MAX_SESSIONS; ++i)
        if (g_sessions[i].used && g_sessions[i].handle == h)
            return &g_sessions[i];
    return NULL;
}

/* A closed slot keeps what it stored so that stale notifications can still
   be delivered; it is reused by the same handle first, then by anyone. */
static Session *slot_for_session_locked(CK_SESSION_HANDLE h)
{
    Session *s = find_session_locked(h);
    if (s != NULL)
        return s;
    for (int i = 0; i < MAX_SESSIONS; ++i)
        if (!g_sessions[i].used)
            return &g_sessions[i];
    for (int i = 0; i < MAX_SESSIONS; ++i)
        if (!g_sessions[i].open)
            return &g_sessions[i];
    return NULL;
}

static void close_sessions_locked(int all, CK_SLOT_ID slot)
{
    for (int i = 0; i < MAX_SESSIONS; ++i)
        if (g_sessions[i].used && (all || g_sessions[i].slot == slot))
            g_sessions[i].open = 0;
}

/* Copies Notify and pApplication under the lock; the call itself happens
   outside it, so a notification may land just after the session closed. */
static int notify_target(CK_SESSION_HANDLE h, CK_NOTIFY *notify, void **application)
{
    int found = 0;
    lock();
    Session *s = find_session_locked(h);
    if (s != NULL && (s->open || g_stale_notify)) {
        *notify = s->notify;
        *application = s->application;
        found = 1;
    }
    unlock();
    return found;
}

static CK_RV deliver_notify(CK_SESSION_HANDLE h, CK_NOTIFICATION event)
{
    CK_NOTIFY notify = NULL;
    void *application = NULL;
    if (!notify_target(h, &notify, &application))
        return MOCK_RV_NO_SESSION;
    if (notify == NULL)
        return MOCK_RV_NO_CALLBACK;
    lock();
    g_last_notify_thread = current_thread();
    unlock();
    return notify(h, event, application);
}

/* ------------------------------------------------------------------------ */
/* Threads that C_OpenSession starts to notify its new session               */

struct OpenNotifier {
    CK_NOTIFY notify;
    void *application;
    CK_SESSION_HANDLE session;
    CK_NOTIFICATION event;
    int count;
    int first_done; /* atomic */
};

/* Guarded by g_open_lock, not g_lock: a thread is started and joined
   without holding the lock the Cryptoki functions take. */
#if defined(_WIN32)
static SRWLOCK g_open_lock = SRWLOCK_INIT;
static void open_lock(void) { AcquireSRWLockExclusive(&g_open_lock); }
static void open_unlock(void) { ReleaseSRWLockExclusive(&g_open_lock); }
#else
static pthread_mutex_t g_open_lock = PTHREAD_MUTEX_INITIALIZER;
static void open_lock(void) { pthread_mutex_lock(&g_open_lock); }
static void open_unlock(void) { pthread_mutex_unlock(&g_open_lock); }
#endif
static NativeThread g_open_threads[MOCK_MAX_OPEN_THREADS];
static OpenNotifier g_open_jobs[MOCK_MAX_OPEN_THREADS];
static int g_open_thread_used;
static unsigned long g_open_calls, g_open_nonzero, g_open_skipped; /* atomic */

static void run_open_notifier(void *p)
{
    OpenNotifier *job = static_cast<OpenNotifier *>(p);
    for (int i = 0; i < job->count; ++i) {
        CK_RV rv = job->notify(job->session, job->event, job->application);
        __atomic_fetch_add(&g_open_calls, 1, __ATOMIC_ACQ_REL);
        if (rv != CKR_OK)
            __atomic_fetch_add(&g_open_nonzero, 1, __ATOMIC_ACQ_REL);
        if (i == 0)
            __atomic_store_n(&job->first_done, 1, __ATOMIC_RELEASE);
        thread_yield();
    }
}

/* Starts the notifier of a new session and waits for its first call. */
static void notify_from_open_thread(CK_NOTIFY notify, void *application, CK_SESSION_HANDLE session,
                                    int count, CK_NOTIFICATION event)
{
    open_lock();
    int slot = g_open_thread_used < MOCK_MAX_OPEN_THREADS ? g_open_thread_used++ : -1;
    OpenNotifier *job = slot >= 0 ? &g_open_jobs[slot] : NULL;
    if (job != NULL) {
        job->notify = notify;
        job->application = application;
        job->session = session;
        job->event = event;
        job->count = count;
        job->first_done = 0;
        if (!thread_start(&g_open_threads[slot], run_open_notifier, job))
            job = NULL;
    }
    open_unlock();
    if (job == NULL) {
        __atomic_fetch_add(&g_open_skipped, 1, __ATOMIC_ACQ_REL);
        return;
    }
    while (!__atomic_load_n(&job->first_done, __ATOMIC_ACQUIRE))
        thread_yield();
}

static void join_open_threads(MockStressResult *out)
{
    open_lock();
    for (int i = 0; i < g_open_thread_used; ++i)
        thread_join(&g_open_threads[i]);
    g_open_thread_used = 0;
    open_unlock();
    if (out != NULL) {
        out->calls = __atomic_exchange_n(&g_open_calls, 0, __ATOMIC_ACQ_REL);
        out->nonzero = __atomic_exchange_n(&g_open_nonzero, 0, __ATOMIC_ACQ_REL);
        out->skipped = __atomic_exchange_n(&g_open_skipped, 0, __ATOMIC_ACQ_REL);
    }
}

/* ------------------------------------------------------------------------ */
/* Cryptoki functions                                                        */

static CK_RV do_initialize(CK_VOID_PTR pInitArgs)
{
    const MockArg a[] = {ptr_arg(pInitArgs)};
    lock();
    CK_RV rv = g_results[MOCK_C_Initialize];
    MockRecord *r = append_record_locked(MOCK_C_Initialize, a, 1, rv);
    uintptr_t words[MOCK_MAX_INIT_WORDS] = {0};
    int count = g_init_words;
    if (pInitArgs != NULL)
        memcpy(words, pInitArgs, (size_t)count * sizeof(uintptr_t));
    if (r != NULL) {
        r->init_args_null = pInitArgs == NULL;
        r->init_word_count = pInitArgs == NULL ? 0 : count;
        for (int i = 0; i < r->init_word_count; ++i)
            r->init_words[i] = (uint64_t)words[i];
    }
    /* The first four members are the mutex functions in both record kinds. */
    static_assert(sizeof(CreateMutexFn) == sizeof(uintptr_t), "function pointers are words");
    memcpy(&g_create_mutex, &words[0], sizeof(uintptr_t));
    memcpy(&g_destroy_mutex, &words[1], sizeof(uintptr_t));
    memcpy(&g_lock_mutex, &words[2], sizeof(uintptr_t));
    memcpy(&g_unlock_mutex, &words[3], sizeof(uintptr_t));
    unlock();
    return rv;
}

#if defined(_WIN32) && !MOCK_LAYOUT_SLOTS4 && !MOCK_INIT_AT_00
/* Detection of a packed table reads the low byte of entry 0 as the table's
   third byte, so entry 0 must not end in a zero byte.  A second, different
   entry point gives a choice when C_Initialize happens to; noipa keeps the
   compiler from folding the two into one address. */
__attribute__((noipa)) static CK_RV initialize_second_entry(CK_VOID_PTR pInitArgs)
{
    return do_initialize(pInitArgs);
}
#endif

static CK_RV do_close_call(int entry, int all, CK_ULONG slot_or_session, const MockArg *a, int n)
{
    lock();
    CK_RV rv = g_results[entry];
    append_record_locked(entry, a, n, rv);
    if (rv == CKR_OK) {
        if (entry == MOCK_C_CloseSession) {
            Session *s = find_session_locked(slot_or_session);
            if (s != NULL)
                s->open = 0;
        } else {
            close_sessions_locked(all, slot_or_session);
        }
    }
    unlock();
    return rv;
}

extern "C" {

#if MOCK_INIT_AT_00
/* The image is mapped at a 64 KiB boundary, so the low byte stays zero. */
__attribute__((aligned(256)))
#endif
CK_RV C_Initialize(CK_VOID_PTR pInitArgs) { return do_initialize(pInitArgs); }

CK_RV C_Finalize(CK_VOID_PTR pReserved)
{
    const MockArg a[] = {ptr_arg(pReserved)};
    return do_close_call(MOCK_C_Finalize, 1, 0, a, 1);
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) { MOCK_CALL(MOCK_C_GetInfo, ptr_arg(pInfo)); }

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    MOCK_CALL(MOCK_C_GetSlotList, bool_arg(tokenPresent), ptr_arg(pSlotList), cell_arg(pulCount));
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo)
{
    MOCK_CALL(MOCK_C_GetSlotInfo, ulong_arg(slotID), ptr_arg(pInfo));
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo)
{
    MOCK_CALL(MOCK_C_GetTokenInfo, ulong_arg(slotID), ptr_arg(pInfo));
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount)
{
    MOCK_CALL(MOCK_C_GetMechanismList, ulong_arg(slotID), ptr_arg(pMechanismList), cell_arg(pulCount));
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo)
{
    MOCK_CALL(MOCK_C_GetMechanismInfo, ulong_arg(slotID), ulong_arg(type), ptr_arg(pInfo));
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel)
{
    MOCK_CALL(MOCK_C_InitToken, ulong_arg(slotID), ptr_arg(pPin), ulong_arg(ulPinLen), ptr_arg(pLabel));
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    MOCK_CALL(MOCK_C_InitPIN, ulong_arg(hSession), ptr_arg(pPin), ulong_arg(ulPinLen));
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen)
{
    MOCK_CALL(MOCK_C_SetPIN, ulong_arg(hSession), ptr_arg(pOldPin), ulong_arg(ulOldLen),
              ptr_arg(pNewPin), ulong_arg(ulNewLen));
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession)
{
    const MockArg a[] = {ulong_arg(slotID), ulong_arg(flags), ptr_arg(pApplication), notify_arg(Notify),
                         cell_arg(phSession)};
    const int handle_arg = 4;
    lock();
    CK_RV rv = g_results[MOCK_C_OpenSession];
    append_record_locked(MOCK_C_OpenSession, a, 5, rv);
    CK_SESSION_HANDLE handle = 0;
    int notify_now = 0;
    int thread_notifies = 0;
    CK_NOTIFICATION event = g_open_notify_event;
    CK_NOTIFICATION thread_event = g_open_thread_event;
    if (rv == CKR_OK) {
        if (g_out_scripted[MOCK_C_OpenSession][handle_arg])
            handle = g_out_value[MOCK_C_OpenSession][handle_arg];
        else
            handle = g_next_session++;
        if (phSession != NULL)
            *phSession = handle;
        Session *s = slot_for_session_locked(handle);
        if (s != NULL) {
            s->used = 1;
            s->open = 1;
            s->handle = handle;
            s->slot = slotID;
            s->notify = Notify;
            s->application = pApplication;
        }
        notify_now = g_open_notify_enabled && Notify != NULL;
        thread_notifies = Notify != NULL ? g_open_thread_count : 0;
    } else {
        write_scripted_cells_locked(MOCK_C_OpenSession, a, 5);
    }
    if (notify_now)
        g_last_notify_thread = current_thread();
    unlock();

    /* On the calling thread and outside the lock, as a real module would. */
    if (notify_now) {
        CK_RV nrv = Notify(handle, event, pApplication);
        lock();
        g_open_notify_count++;
        g_open_notify_result = nrv;
        unlock();
    }
    if (thread_notifies > 0)
        notify_from_open_thread(Notify, pApplication, handle, thread_notifies, thread_event);
    return rv;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession)
{
    const MockArg a[] = {ulong_arg(hSession)};
    return do_close_call(MOCK_C_CloseSession, 0, hSession, a, 1);
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID)
{
    const MockArg a[] = {ulong_arg(slotID)};
    return do_close_call(MOCK_C_CloseAllSessions, 0, slotID, a, 1);
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo)
{
    MOCK_CALL(MOCK_C_GetSessionInfo, ulong_arg(hSession), ptr_arg(pInfo));
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                          CK_ULONG_PTR pulOperationStateLen)
{
    MOCK_CALL(MOCK_C_GetOperationState, ulong_arg(hSession), ptr_arg(pOperationState),
              cell_arg(pulOperationStateLen));
}

CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState, CK_ULONG ulOperationStateLen,
                          CK_OBJECT_HANDLE hEncryptionKey, CK_OBJECT_HANDLE hAuthenticationKey)
{
    MOCK_CALL(MOCK_C_SetOperationState, ulong_arg(hSession), ptr_arg(pOperationState),
              ulong_arg(ulOperationStateLen), ulong_arg(hEncryptionKey), ulong_arg(hAuthenticationKey));
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    MOCK_CALL(MOCK_C_Login, ulong_arg(hSession), ulong_arg(userType), ptr_arg(pPin), ulong_arg(ulPinLen));
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) { MOCK_CALL(MOCK_C_Logout, ulong_arg(hSession)); }

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject)
{
    MOCK_CALL(MOCK_C_CreateObject, ulong_arg(hSession), ptr_arg(pTemplate), ulong_arg(ulCount),
              cell_arg(phObject));
}

CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject)
{
    MOCK_CALL(MOCK_C_CopyObject, ulong_arg(hSession), ulong_arg(hObject), ptr_arg(pTemplate),
              ulong_arg(ulCount), cell_arg(phNewObject));
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject)
{
    MOCK_CALL(MOCK_C_DestroyObject, ulong_arg(hSession), ulong_arg(hObject));
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize)
{
    MOCK_CALL(MOCK_C_GetObjectSize, ulong_arg(hSession), ulong_arg(hObject), cell_arg(pulSize));
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount)
{
    MOCK_CALL(MOCK_C_GetAttributeValue, ulong_arg(hSession), ulong_arg(hObject), ptr_arg(pTemplate),
              ulong_arg(ulCount));
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount)
{
    MOCK_CALL(MOCK_C_SetAttributeValue, ulong_arg(hSession), ulong_arg(hObject), ptr_arg(pTemplate),
              ulong_arg(ulCount));
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    MOCK_CALL(MOCK_C_FindObjectsInit, ulong_arg(hSession), ptr_arg(pTemplate), ulong_arg(ulCount));
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount)
{
    /* phObject is an array the caller owns, not a single cell. */
    MOCK_CALL(MOCK_C_FindObjects, ulong_arg(hSession), ptr_arg(phObject), ulong_arg(ulMaxObjectCount),
              cell_arg(pulObjectCount));
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) { MOCK_CALL(MOCK_C_FindObjectsFinal, ulong_arg(hSession)); }

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_EncryptInit, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hKey));
}

CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                CK_ULONG_PTR pulEncryptedDataLen)
{
    MOCK_CALL(MOCK_C_Encrypt, ulong_arg(hSession), ptr_arg(pData), ulong_arg(ulDataLen), ptr_arg(pEncryptedData),
              cell_arg(pulEncryptedDataLen));
}

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                      CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen)
{
    MOCK_CALL(MOCK_C_EncryptUpdate, ulong_arg(hSession), ptr_arg(pPart), ulong_arg(ulPartLen),
              ptr_arg(pEncryptedPart), cell_arg(pulEncryptedPartLen));
}

CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                     CK_ULONG_PTR pulLastEncryptedPartLen)
{
    MOCK_CALL(MOCK_C_EncryptFinal, ulong_arg(hSession), ptr_arg(pLastEncryptedPart),
              cell_arg(pulLastEncryptedPartLen));
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_DecryptInit, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hKey));
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen)
{
    MOCK_CALL(MOCK_C_Decrypt, ulong_arg(hSession), ptr_arg(pEncryptedData), ulong_arg(ulEncryptedDataLen),
              ptr_arg(pData), cell_arg(pulDataLen));
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                      CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen)
{
    MOCK_CALL(MOCK_C_DecryptUpdate, ulong_arg(hSession), ptr_arg(pEncryptedPart), ulong_arg(ulEncryptedPartLen),
              ptr_arg(pPart), cell_arg(pulPartLen));
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen)
{
    MOCK_CALL(MOCK_C_DecryptFinal, ulong_arg(hSession), ptr_arg(pLastPart), cell_arg(pulLastPartLen));
}

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism)
{
    MOCK_CALL(MOCK_C_DigestInit, ulong_arg(hSession), ptr_arg(pMechanism));
}

CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
               CK_ULONG_PTR pulDigestLen)
{
    MOCK_CALL(MOCK_C_Digest, ulong_arg(hSession), ptr_arg(pData), ulong_arg(ulDataLen), ptr_arg(pDigest),
              cell_arg(pulDigestLen));
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    MOCK_CALL(MOCK_C_DigestUpdate, ulong_arg(hSession), ptr_arg(pPart), ulong_arg(ulPartLen));
}

CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_DigestKey, ulong_arg(hSession), ulong_arg(hKey));
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen)
{
    MOCK_CALL(MOCK_C_DigestFinal, ulong_arg(hSession), ptr_arg(pDigest), cell_arg(pulDigestLen));
}

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_SignInit, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hKey));
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen)
{
    MOCK_CALL(MOCK_C_Sign, ulong_arg(hSession), ptr_arg(pData), ulong_arg(ulDataLen), ptr_arg(pSignature),
              cell_arg(pulSignatureLen));
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    MOCK_CALL(MOCK_C_SignUpdate, ulong_arg(hSession), ptr_arg(pPart), ulong_arg(ulPartLen));
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    MOCK_CALL(MOCK_C_SignFinal, ulong_arg(hSession), ptr_arg(pSignature), cell_arg(pulSignatureLen));
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_SignRecoverInit, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hKey));
}

CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                    CK_ULONG_PTR pulSignatureLen)
{
    MOCK_CALL(MOCK_C_SignRecover, ulong_arg(hSession), ptr_arg(pData), ulong_arg(ulDataLen), ptr_arg(pSignature),
              cell_arg(pulSignatureLen));
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_VerifyInit, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hKey));
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen)
{
    MOCK_CALL(MOCK_C_Verify, ulong_arg(hSession), ptr_arg(pData), ulong_arg(ulDataLen), ptr_arg(pSignature),
              ulong_arg(ulSignatureLen));
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    MOCK_CALL(MOCK_C_VerifyUpdate, ulong_arg(hSession), ptr_arg(pPart), ulong_arg(ulPartLen));
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen)
{
    MOCK_CALL(MOCK_C_VerifyFinal, ulong_arg(hSession), ptr_arg(pSignature), ulong_arg(ulSignatureLen));
}

CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    MOCK_CALL(MOCK_C_VerifyRecoverInit, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hKey));
}

CK_RV C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen,
                      CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen)
{
    MOCK_CALL(MOCK_C_VerifyRecover, ulong_arg(hSession), ptr_arg(pSignature), ulong_arg(ulSignatureLen),
              ptr_arg(pData), cell_arg(pulDataLen));
}

CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                            CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen)
{
    MOCK_CALL(MOCK_C_DigestEncryptUpdate, ulong_arg(hSession), ptr_arg(pPart), ulong_arg(ulPartLen),
              ptr_arg(pEncryptedPart), cell_arg(pulEncryptedPartLen));
}

CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                            CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen)
{
    MOCK_CALL(MOCK_C_DecryptDigestUpdate, ulong_arg(hSession), ptr_arg(pEncryptedPart),
              ulong_arg(ulEncryptedPartLen), ptr_arg(pPart), cell_arg(pulPartLen));
}

CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                          CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen)
{
    MOCK_CALL(MOCK_C_SignEncryptUpdate, ulong_arg(hSession), ptr_arg(pPart), ulong_arg(ulPartLen),
              ptr_arg(pEncryptedPart), cell_arg(pulEncryptedPartLen));
}

CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                            CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen)
{
    MOCK_CALL(MOCK_C_DecryptVerifyUpdate, ulong_arg(hSession), ptr_arg(pEncryptedPart),
              ulong_arg(ulEncryptedPartLen), ptr_arg(pPart), cell_arg(pulPartLen));
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey)
{
    MOCK_CALL(MOCK_C_GenerateKey, ulong_arg(hSession), ptr_arg(pMechanism), ptr_arg(pTemplate), ulong_arg(ulCount),
              cell_arg(phKey));
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey)
{
    MOCK_CALL(MOCK_C_GenerateKeyPair, ulong_arg(hSession), ptr_arg(pMechanism), ptr_arg(pPublicKeyTemplate),
              ulong_arg(ulPublicKeyAttributeCount), ptr_arg(pPrivateKeyTemplate),
              ulong_arg(ulPrivateKeyAttributeCount), cell_arg(phPublicKey), cell_arg(phPrivateKey));
}

CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen)
{
    MOCK_CALL(MOCK_C_WrapKey, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hWrappingKey), ulong_arg(hKey),
              ptr_arg(pWrappedKey), cell_arg(pulWrappedKeyLen));
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                  CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                  CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey)
{
    MOCK_CALL(MOCK_C_UnwrapKey, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hUnwrappingKey),
              ptr_arg(pWrappedKey), ulong_arg(ulWrappedKeyLen), ptr_arg(pTemplate), ulong_arg(ulAttributeCount),
              cell_arg(phKey));
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey)
{
    MOCK_CALL(MOCK_C_DeriveKey, ulong_arg(hSession), ptr_arg(pMechanism), ulong_arg(hBaseKey), ptr_arg(pTemplate),
              ulong_arg(ulAttributeCount), cell_arg(phKey));
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen)
{
    MOCK_CALL(MOCK_C_SeedRandom, ulong_arg(hSession), ptr_arg(pSeed), ulong_arg(ulSeedLen));
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen)
{
    MOCK_CALL(MOCK_C_GenerateRandom, ulong_arg(hSession), ptr_arg(RandomData), ulong_arg(ulRandomLen));
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) { MOCK_CALL(MOCK_C_GetFunctionStatus, ulong_arg(hSession)); }

CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) { MOCK_CALL(MOCK_C_CancelFunction, ulong_arg(hSession)); }

#if MOCK_WITH_WAIT
CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved)
{
    MOCK_CALL(MOCK_C_WaitForSlotEvent, ulong_arg(flags), cell_arg(pSlot), ptr_arg(pReserved));
}
#endif

} /* extern "C" */

/* ------------------------------------------------------------------------ */
/* Function tables                                                           */

#if MOCK_WITH_GFL
#  define GFL_ENTRY C_GetFunctionList
#else
#  define GFL_ENTRY nullptr
#endif
#if MOCK_WITH_WAIT
#  define WAIT_ENTRY C_WaitForSlotEvent
#else
#  define WAIT_ENTRY nullptr
#endif

#define TABLE_INITIALIZER                                                                  \
    {                                                                                      \
        {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},                                  \
        C_Initialize, C_Finalize, C_GetInfo, GFL_ENTRY, C_GetSlotList, C_GetSlotInfo,      \
        C_GetTokenInfo, C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN,    \
        C_SetPIN, C_OpenSession, C_CloseSession, C_CloseAllSessions, C_GetSessionInfo,     \
        C_GetOperationState, C_SetOperationState, C_Login, C_Logout, C_CreateObject,       \
        C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue,               \
        C_SetAttributeValue, C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal,         \
        C_EncryptInit, C_Encrypt, C_EncryptUpdate, C_EncryptFinal, C_DecryptInit,          \
        C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,                \
        C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate,      \
        C_SignFinal, C_SignRecoverInit, C_SignRecover, C_VerifyInit, C_Verify,             \
        C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,               \
        C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate,                 \
        C_DecryptVerifyUpdate, C_GenerateKey, C_GenerateKeyPair, C_WrapKey, C_UnwrapKey,   \
        C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,                  \
        C_CancelFunction, WAIT_ENTRY                                                       \
    }

typedef void (*AnyFunction)(void);
#define ENTRY_SIZE sizeof(AnyFunction)
#define HEADER_FIRST_ENTRY offsetof(CK_FUNCTION_LIST, C_Initialize)

static_assert(offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent) ==
                  HEADER_FIRST_ENTRY + (MOCK_ENTRY_COUNT - 1) * ENTRY_SIZE,
              "the header's table has its entries back to back");
static_assert(sizeof(CK_FUNCTION_LIST) == HEADER_FIRST_ENTRY + MOCK_ENTRY_COUNT * ENTRY_SIZE,
              "the header's table ends with its last entry");

/* Entries as the module built them; handed-out tables are restored from it. */
static CK_FUNCTION_LIST g_pristine = TABLE_INITIALIZER;

#if MOCK_LAYOUT_SLOTS4
/* A module built with 4-byte structure alignment: two bytes of padding
   after the version, entry i at 4 + 4i. */
struct Slots4Table {
    unsigned char version[2];
    unsigned char padding[2];
    AnyFunction entries[MOCK_ENTRY_COUNT];
};
static_assert(offsetof(Slots4Table, entries) == 4, "entries start at byte 4");
static_assert(sizeof(Slots4Table) == 4 + MOCK_ENTRY_COUNT * 4, "4-byte entry slots");

static Slots4Table g_slots4;
#  define HANDED_FIRST_ENTRY offsetof(Slots4Table, entries)
static unsigned char *handed_table(void) { return reinterpret_cast<unsigned char *>(&g_slots4); }
static uint32_t handed_size(void) { return (uint32_t)sizeof g_slots4; }
#else
static CK_FUNCTION_LIST g_table = TABLE_INITIALIZER;
#  define HANDED_FIRST_ENTRY HEADER_FIRST_ENTRY
static unsigned char *handed_table(void) { return reinterpret_cast<unsigned char *>(&g_table); }
static uint32_t handed_size(void) { return (uint32_t)sizeof g_table; }
#endif

static int g_tables_ready;

static void restore_entry_locked(int entry)
{
    memcpy(handed_table() + HANDED_FIRST_ENTRY + (size_t)entry * ENTRY_SIZE,
           reinterpret_cast<unsigned char *>(&g_pristine) + HEADER_FIRST_ENTRY + (size_t)entry * ENTRY_SIZE,
           ENTRY_SIZE);
}

static void restore_tables_locked(void)
{
    unsigned char *t = handed_table();
    t[0] = CRYPTOKI_VERSION_MAJOR;
    t[1] = CRYPTOKI_VERSION_MINOR;
    for (int i = 0; i < MOCK_ENTRY_COUNT; ++i)
        restore_entry_locked(i);
}

static void prepare_tables_locked(void)
{
    if (g_tables_ready)
        return;
#if defined(_WIN32) && !MOCK_LAYOUT_SLOTS4 && !MOCK_INIT_AT_00
    if ((reinterpret_cast<uintptr_t>(g_pristine.C_Initialize) & 0xFF) == 0)
        g_pristine.C_Initialize = initialize_second_entry;
#endif
    restore_tables_locked();
    g_tables_ready = 1;
}

#if MOCK_WITH_GFL
extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList)
{
    const MockArg a[] = {ptr_arg(ppFunctionList)};
    lock();
    prepare_tables_locked();
    CK_RV rv = g_result_scripted[MOCK_C_GetFunctionList] ? g_results[MOCK_C_GetFunctionList]
                                                        : (MOCK_GFL_FAILS ? CKR_GENERAL_ERROR : CKR_OK);
    append_record_locked(MOCK_C_GetFunctionList, a, 1, rv);
    /* A failing call still scribbles on the output, so a loader that trusts
       it after an error is caught. */
    if (ppFunctionList != NULL)
        *ppFunctionList = rv != CKR_OK ? reinterpret_cast<CK_FUNCTION_LIST_PTR>(MOCK_BOGUS_TABLE)
                          : MOCK_GFL_NULL ? NULL
                                          : reinterpret_cast<CK_FUNCTION_LIST_PTR>(handed_table());
    unlock();
    return rv;
}
#endif

/* ------------------------------------------------------------------------ */
/* Mutex callbacks                                                           */

struct Callbacks {
    CreateMutexFn create;
    MutexFn destroy;
    MutexFn lock;
    MutexFn unlock;
};

static int take_callbacks(Callbacks *cb)
{
    lock();
    cb->create = g_create_mutex;
    cb->destroy = g_destroy_mutex;
    cb->lock = g_lock_mutex;
    cb->unlock = g_unlock_mutex;
    unlock();
    return cb->create != NULL && cb->destroy != NULL && cb->lock != NULL && cb->unlock != NULL;
}

struct CycleJob {
    Callbacks cb;
    CK_RV rv[4];
};

static void run_cycle(void *p)
{
    CycleJob *job = static_cast<CycleJob *>(p);
    void *m = NULL;
    job->rv[0] = job->cb.create(&m);
    if (job->rv[0] != CKR_OK)
        return;
    job->rv[1] = job->cb.lock(m);
    job->rv[2] = job->rv[1] == CKR_OK ? job->cb.unlock(m) : MOCK_RV_NO_CALLBACK;
    job->rv[3] = job->cb.destroy(m);
}

struct StressJob {
    Callbacks cb;
    void *shared;
    int iterations;
    int failures;
};

static void run_stress(void *p)
{
    StressJob *job = static_cast<StressJob *>(p);
    void *own = NULL;
    if (job->cb.create(&own) != CKR_OK || own == NULL) {
        job->failures++;
        own = NULL;
    }
    for (int i = 0; i < job->iterations; ++i) {
        if (own != NULL && job->cb.lock(own) != CKR_OK)
            job->failures++;
        if (job->cb.lock(job->shared) != CKR_OK) {
            job->failures++;
        } else {
            /* A plain read-modify-write: only the callbacks keep it whole. */
            g_mutex_counter = g_mutex_counter + 1;
            if (job->cb.unlock(job->shared) != CKR_OK)
                job->failures++;
        }
        if (own != NULL && job->cb.unlock(own) != CKR_OK)
            job->failures++;
    }
    if (own != NULL && job->cb.destroy(own) != CKR_OK)
        job->failures++;
}

/* ------------------------------------------------------------------------ */
/* Notification stress                                                       */

struct NotifyStress {
    int running;
    int stop;
    CK_SESSION_HANDLE session;
    CK_NOTIFICATION event;
    int threads;
    int max_per_thread;
    /* Word-sized so that the atomics need no library on 32-bit targets. */
    unsigned long calls;
    unsigned long nonzero;
    unsigned long skipped;
    NativeThread workers[MOCK_MAX_THREADS];
};

static NotifyStress g_stress;

static void run_notify_stress(void *)
{
    for (int i = 0; i < g_stress.max_per_thread && !__atomic_load_n(&g_stress.stop, __ATOMIC_ACQUIRE); ++i) {
        CK_NOTIFY notify = NULL;
        void *application = NULL;
        if (notify_target(g_stress.session, &notify, &application) && notify != NULL) {
            CK_RV rv = notify(g_stress.session, g_stress.event, application);
            __atomic_fetch_add(&g_stress.calls, 1, __ATOMIC_ACQ_REL);
            if (rv != CKR_OK)
                __atomic_fetch_add(&g_stress.nonzero, 1, __ATOMIC_ACQ_REL);
        } else {
            __atomic_fetch_add(&g_stress.skipped, 1, __ATOMIC_ACQ_REL);
        }
        thread_yield();
    }
}

static void stop_stress(MockStressResult *out)
{
    if (g_stress.running) {
        __atomic_store_n(&g_stress.stop, 1, __ATOMIC_RELEASE);
        for (int i = 0; i < g_stress.threads; ++i)
            thread_join(&g_stress.workers[i]);
        g_stress.running = 0;
    }
    if (out != NULL) {
        out->calls = __atomic_load_n(&g_stress.calls, __ATOMIC_ACQUIRE);
        out->nonzero = __atomic_load_n(&g_stress.nonzero, __ATOMIC_ACQUIRE);
        out->skipped = __atomic_load_n(&g_stress.skipped, __ATOMIC_ACQUIRE);
    }
}

/* ------------------------------------------------------------------------ */
/* Control API                                                               */

struct NotifyJob {
    CK_SESSION_HANDLE session;
    CK_NOTIFICATION event;
    CK_RV rv;
};

static void run_notify(void *p)
{
    NotifyJob *job = static_cast<NotifyJob *>(p);
    job->rv = deliver_notify(job->session, job->event);
}

extern "C" {

MOCK_API const char *mock_variant(void) { return MOCK_VARIANT_NAME; }

MOCK_API const char *mock_entry_name(int entry) { return valid_entry(entry) ? k_entry_names[entry] : NULL; }

MOCK_API uint64_t mock_thread_id(void) { return current_thread(); }

MOCK_API void mock_reset(void)
{
    /* Stress threads read the session table; they go first. */
    stop_stress(NULL);
    join_open_threads(NULL);
    lock();
    free(g_records);
    g_records = NULL;
    g_record_count = 0;
    g_record_capacity = 0;
    memset(g_results, 0, sizeof g_results);
    memset(g_result_scripted, 0, sizeof g_result_scripted);
    memset(g_out_value, 0, sizeof g_out_value);
    memset(g_out_scripted, 0, sizeof g_out_scripted);
    g_init_words = 6;
    g_create_mutex = NULL;
    g_destroy_mutex = NULL;
    g_lock_mutex = NULL;
    g_unlock_mutex = NULL;
    g_mutex_counter = 0;
    memset(g_sessions, 0, sizeof g_sessions);
    g_next_session = MOCK_FIRST_SESSION_HANDLE;
    g_open_notify_enabled = 0;
    g_open_notify_event = 0;
    g_open_notify_count = 0;
    g_open_notify_result = MOCK_RV_NO_CALLBACK;
    g_stale_notify = 0;
    g_last_notify_thread = 0;
    g_open_thread_count = 0;
    g_open_thread_event = 0;
    prepare_tables_locked();
    restore_tables_locked();
    g_stress.calls = 0;
    g_stress.nonzero = 0;
    g_stress.skipped = 0;
    unlock();
}

MOCK_API int mock_record_count(void)
{
    lock();
    int n = g_record_count;
    unlock();
    return n;
}

MOCK_API int mock_record_get(int index, MockRecord *out)
{
    int found = 0;
    lock();
    if (index >= 0 && index < g_record_count) {
        if (out != NULL)
            *out = g_records[index];
        found = 1;
    }
    unlock();
    return found;
}

MOCK_API int mock_record_last(int entry, MockRecord *out)
{
    int index = -1;
    lock();
    for (int i = g_record_count - 1; i >= 0; --i) {
        if (g_records[i].entry == entry) {
            index = i;
            if (out != NULL)
                *out = g_records[i];
            break;
        }
    }
    unlock();
    return index;
}

MOCK_API int mock_record_entry(int index)
{
    MockRecord r;
    return mock_record_get(index, &r) ? r.entry : -1;
}

MOCK_API uint64_t mock_record_arg(int index, int arg)
{
    MockRecord r;
    if (!valid_arg(arg) || !mock_record_get(index, &r))
        return 0;
    return r.args[arg].value;
}

MOCK_API uint64_t mock_record_pointee(int index, int arg)
{
    MockRecord r;
    if (!valid_arg(arg) || !mock_record_get(index, &r))
        return 0;
    return r.args[arg].pointee;
}

MOCK_API void mock_set_result(int entry, CK_RV rv)
{
    if (!valid_entry(entry))
        return;
    lock();
    g_results[entry] = rv;
    g_result_scripted[entry] = 1;
    unlock();
}

MOCK_API void mock_set_out(int entry, int arg, CK_ULONG value)
{
    if (!valid_entry(entry) || !valid_arg(arg))
        return;
    lock();
    g_out_value[entry][arg] = value;
    g_out_scripted[entry][arg] = 1;
    unlock();
}

MOCK_API void mock_clear_out(int entry, int arg)
{
    if (!valid_entry(entry) || !valid_arg(arg))
        return;
    lock();
    g_out_scripted[entry][arg] = 0;
    unlock();
}

MOCK_API void mock_set_entry_null(int entry, int is_null)
{
    if (!valid_entry(entry))
        return;
    lock();
    prepare_tables_locked();
    if (is_null)
        memset(handed_table() + HANDED_FIRST_ENTRY + (size_t)entry * ENTRY_SIZE, 0, ENTRY_SIZE);
    else
        restore_entry_locked(entry);
    unlock();
}

MOCK_API void mock_set_table_version(int major, int minor)
{
    lock();
    prepare_tables_locked();
    handed_table()[0] = (unsigned char)major;
    handed_table()[1] = (unsigned char)minor;
    unlock();
}

MOCK_API const void *mock_table(void)
{
    lock();
    prepare_tables_locked();
    unlock();
    return handed_table();
}

MOCK_API uint32_t mock_table_size(void) { return handed_size(); }

MOCK_API void mock_set_init_words(int count)
{
    if (count < 6 || count > MOCK_MAX_INIT_WORDS)
        return;
    lock();
    g_init_words = count;
    unlock();
}

MOCK_API int mock_has_mutex_callbacks(void)
{
    Callbacks cb;
    return take_callbacks(&cb);
}

MOCK_API CK_RV mock_call_create_mutex(void **mutex)
{
    Callbacks cb;
    take_callbacks(&cb);
    return cb.create != NULL ? cb.create(mutex) : MOCK_RV_NO_CALLBACK;
}

MOCK_API CK_RV mock_call_destroy_mutex(void *mutex)
{
    Callbacks cb;
    take_callbacks(&cb);
    return cb.destroy != NULL ? cb.destroy(mutex) : MOCK_RV_NO_CALLBACK;
}

MOCK_API CK_RV mock_call_lock_mutex(void *mutex)
{
    Callbacks cb;
    take_callbacks(&cb);
    return cb.lock != NULL ? cb.lock(mutex) : MOCK_RV_NO_CALLBACK;
}

MOCK_API CK_RV mock_call_unlock_mutex(void *mutex)
{
    Callbacks cb;
    take_callbacks(&cb);
    return cb.unlock != NULL ? cb.unlock(mutex) : MOCK_RV_NO_CALLBACK;
}

MOCK_API int mock_mutex_cycle(int on_new_thread, CK_RV rv[4])
{
    CycleJob job;
    for (int i = 0; i < 4; ++i)
        job.rv[i] = MOCK_RV_NO_CALLBACK;
    if (take_callbacks(&job.cb)) {
        if (on_new_thread) {
            NativeThread t;
            if (thread_start(&t, run_cycle, &job))
                thread_join(&t);
        } else {
            run_cycle(&job);
        }
    }
    int failures = 0;
    for (int i = 0; i < 4; ++i) {
        if (rv != NULL)
            rv[i] = job.rv[i];
        if (job.rv[i] != CKR_OK)
            failures++;
    }
    return failures;
}

MOCK_API int mock_mutex_stress(int threads, int iterations)
{
    Callbacks cb;
    if (threads < 1 || threads > MOCK_MAX_THREADS || iterations < 0 || !take_callbacks(&cb))
        return -1;
    lock();
    g_mutex_counter = 0;
    unlock();

    int failures = 0;
    void *shared = NULL;
    if (cb.create(&shared) != CKR_OK || shared == NULL)
        return 1;

    StressJob jobs[MOCK_MAX_THREADS];
    NativeThread workers[MOCK_MAX_THREADS];
    for (int i = 0; i < threads; ++i) {
        jobs[i].cb = cb;
        jobs[i].shared = shared;
        jobs[i].iterations = iterations;
        jobs[i].failures = 0;
        if (!thread_start(&workers[i], run_stress, &jobs[i]))
            failures++;
    }
    for (int i = 0; i < threads; ++i) {
        thread_join(&workers[i]);
        failures += jobs[i].failures;
    }
    if (cb.destroy(shared) != CKR_OK)
        failures++;
    return failures;
}

MOCK_API uint64_t mock_mutex_counter(void)
{
    lock();
    uint64_t n = g_mutex_counter;
    unlock();
    return n;
}

MOCK_API void mock_set_next_session(CK_SESSION_HANDLE handle)
{
    lock();
    g_next_session = handle;
    unlock();
}

MOCK_API int mock_session_is_open(CK_SESSION_HANDLE handle)
{
    lock();
    Session *s = find_session_locked(handle);
    int open = s != NULL && s->open;
    unlock();
    return open;
}

MOCK_API int mock_session_count(void)
{
    int n = 0;
    lock();
    for (int i = 0; i < MAX_SESSIONS; ++i)
        if (g_sessions[i].used && g_sessions[i].open)
            n++;
    unlock();
    return n;
}

MOCK_API int mock_session_stored(CK_SESSION_HANDLE handle, uintptr_t *application, uintptr_t *notify)
{
    lock();
    Session *s = find_session_locked(handle);
    if (s != NULL) {
        if (application != NULL)
            *application = (uintptr_t)s->application;
        if (notify != NULL)
            *notify = reinterpret_cast<uintptr_t>(s->notify);
    }
    unlock();
    return s != NULL;
}

MOCK_API void mock_set_open_notify(int enabled, CK_NOTIFICATION event)
{
    lock();
    g_open_notify_enabled = enabled;
    g_open_notify_event = event;
    unlock();
}

MOCK_API int mock_open_notify_count(void)
{
    lock();
    int n = g_open_notify_count;
    unlock();
    return n;
}

MOCK_API CK_RV mock_open_notify_result(void)
{
    lock();
    CK_RV rv = g_open_notify_result;
    unlock();
    return rv;
}

MOCK_API void mock_set_stale_notify(int enabled)
{
    lock();
    g_stale_notify = enabled;
    unlock();
}

MOCK_API CK_RV mock_notify(CK_SESSION_HANDLE session, CK_NOTIFICATION event)
{
    return deliver_notify(session, event);
}

MOCK_API CK_RV mock_notify_from_new_thread(CK_SESSION_HANDLE session, CK_NOTIFICATION event)
{
    NotifyJob job = {session, event, MOCK_RV_NO_CALLBACK};
    NativeThread t;
    if (!thread_start(&t, run_notify, &job))
        return MOCK_RV_NO_CALLBACK;
    thread_join(&t);
    return job.rv;
}

MOCK_API uint64_t mock_last_notify_thread(void)
{
    lock();
    uint64_t t = g_last_notify_thread;
    unlock();
    return t;
}

MOCK_API int mock_notify_stress_start(CK_SESSION_HANDLE session, CK_NOTIFICATION event, int threads,
                                      int max_per_thread)
{
    if (threads < 1 || threads > MOCK_MAX_THREADS || max_per_thread < 1)
        return -1;
    stop_stress(NULL);
    g_stress.stop = 0;
    g_stress.session = session;
    g_stress.event = event;
    g_stress.max_per_thread = max_per_thread;
    g_stress.calls = 0;
    g_stress.nonzero = 0;
    g_stress.skipped = 0;
    g_stress.threads = 0;
    g_stress.running = 1;
    for (int i = 0; i < threads; ++i) {
        if (!thread_start(&g_stress.workers[i], run_notify_stress, NULL))
            break;
        g_stress.threads++;
    }
    if (g_stress.threads == threads)
        return 0;
    stop_stress(NULL);
    return -1;
}

MOCK_API uint64_t mock_notify_stress_calls(void) { return __atomic_load_n(&g_stress.calls, __ATOMIC_ACQUIRE); }

MOCK_API void mock_notify_stress_stop(MockStressResult *out) { stop_stress(out); }

MOCK_API void mock_set_open_notify_threads(int count, CK_NOTIFICATION event)
{
    lock();
    g_open_thread_count = count > 0 ? count : 0;
    g_open_thread_event = event;
    unlock();
}

MOCK_API void mock_open_threads_join(MockStressResult *out) { join_open_threads(out); }

/* The bridge's tests unload the module while records may remain; leak
   checkers run after the last dlclose and would otherwise flag them. */
__attribute__((destructor)) static void release_records(void)
{
    join_open_threads(NULL);
    free(g_records);
    g_records = NULL;
    g_record_count = 0;
    g_record_capacity = 0;
}

static const MockControl k_control = {
    MOCK_CONTROL_ABI,
    mock_variant,
    mock_entry_name,
    mock_thread_id,
    mock_reset,
    mock_record_count,
    mock_record_get,
    mock_record_last,
    mock_record_entry,
    mock_record_arg,
    mock_record_pointee,
    mock_set_result,
    mock_set_out,
    mock_clear_out,
    mock_set_entry_null,
    mock_set_table_version,
    mock_table,
    mock_table_size,
    mock_set_init_words,
    mock_has_mutex_callbacks,
    mock_call_create_mutex,
    mock_call_destroy_mutex,
    mock_call_lock_mutex,
    mock_call_unlock_mutex,
    mock_mutex_cycle,
    mock_mutex_stress,
    mock_mutex_counter,
    mock_set_next_session,
    mock_session_is_open,
    mock_session_count,
    mock_session_stored,
    mock_set_open_notify,
    mock_open_notify_count,
    mock_open_notify_result,
    mock_set_stale_notify,
    mock_notify,
    mock_notify_from_new_thread,
    mock_last_notify_thread,
    mock_notify_stress_start,
    mock_notify_stress_calls,
    mock_notify_stress_stop,
    mock_set_open_notify_threads,
    mock_open_threads_join,
};

MOCK_API const MockControl *mock_control(void) { return &k_control; }

} /* extern "C" */
