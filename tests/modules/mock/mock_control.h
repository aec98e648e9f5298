/*
 * Control interface of the instrumented Cryptoki test modules (mockp11*).
 *
 * A test opens the module file a second time (dlopen / LoadLibrary hand back
 * the instance that the bridge already loaded) and resolves either the single
 * symbol "mock_control", which returns a table of every control function, or
 * the individual mock_* names below.  The control functions may be called
 * from any thread; mock_reset and the notification stress calls belong to
 * the one thread that drives the test.
 */
#ifndef ORVJNI_TESTS_MOCK_CONTROL_H
#define ORVJNI_TESTS_MOCK_CONTROL_H

#include <stdint.h>
#include <p11-kit/pkcs11.h>

#if defined(_WIN32)
#  if defined(MOCK_BUILDING_MODULE)
#    define MOCK_API __declspec(dllexport)
#  else
#    define MOCK_API
#  endif
#else
#  define MOCK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Positions in the Cryptoki function table; records carry these numbers. */
enum {
    MOCK_C_Initialize = 0, MOCK_C_Finalize, MOCK_C_GetInfo, MOCK_C_GetFunctionList,
    MOCK_C_GetSlotList, MOCK_C_GetSlotInfo, MOCK_C_GetTokenInfo, MOCK_C_GetMechanismList,
    MOCK_C_GetMechanismInfo, MOCK_C_InitToken, MOCK_C_InitPIN, MOCK_C_SetPIN,
    MOCK_C_OpenSession, MOCK_C_CloseSession, MOCK_C_CloseAllSessions, MOCK_C_GetSessionInfo,
    MOCK_C_GetOperationState, MOCK_C_SetOperationState, MOCK_C_Login, MOCK_C_Logout,
    MOCK_C_CreateObject, MOCK_C_CopyObject, MOCK_C_DestroyObject, MOCK_C_GetObjectSize,
    MOCK_C_GetAttributeValue, MOCK_C_SetAttributeValue, MOCK_C_FindObjectsInit, MOCK_C_FindObjects,
    MOCK_C_FindObjectsFinal, MOCK_C_EncryptInit, MOCK_C_Encrypt, MOCK_C_EncryptUpdate,
    MOCK_C_EncryptFinal, MOCK_C_DecryptInit, MOCK_C_Decrypt, MOCK_C_DecryptUpdate,
    MOCK_C_DecryptFinal, MOCK_C_DigestInit, MOCK_C_Digest, MOCK_C_DigestUpdate,
    MOCK_C_DigestKey, MOCK_C_DigestFinal, MOCK_C_SignInit, MOCK_C_Sign,
    MOCK_C_SignUpdate, MOCK_C_SignFinal, MOCK_C_SignRecoverInit, MOCK_C_SignRecover,
    MOCK_C_VerifyInit, MOCK_C_Verify, MOCK_C_VerifyUpdate, MOCK_C_VerifyFinal,
    MOCK_C_VerifyRecoverInit, MOCK_C_VerifyRecover, MOCK_C_DigestEncryptUpdate,
    MOCK_C_DecryptDigestUpdate, MOCK_C_SignEncryptUpdate, MOCK_C_DecryptVerifyUpdate,
    MOCK_C_GenerateKey, MOCK_C_GenerateKeyPair, MOCK_C_WrapKey, MOCK_C_UnwrapKey,
    MOCK_C_DeriveKey, MOCK_C_SeedRandom, MOCK_C_GenerateRandom, MOCK_C_GetFunctionStatus,
    MOCK_C_CancelFunction, MOCK_C_WaitForSlotEvent,
    MOCK_ENTRY_COUNT
};

#define MOCK_MAX_ARGS 8
#define MOCK_MAX_INIT_WORDS 7
#define MOCK_MAX_THREADS 64

/* How an argument reached the module. */
enum {
    MOCK_ARG_ULONG = 1,   /* CK_ULONG or a type defined as one */
    MOCK_ARG_POINTER = 2, /* data pointer or function pointer, as uintptr_t */
    MOCK_ARG_CELL = 3,    /* pointer to one CK_ULONG the module may write */
    MOCK_ARG_BBOOL = 4    /* CK_BBOOL, its byte value */
};

/* Answers of control calls that found nothing to call. */
#define MOCK_RV_NO_SESSION  ((CK_RV)0xFFFFFF01UL)
#define MOCK_RV_NO_CALLBACK ((CK_RV)0xFFFFFF02UL)

/* What mockp11_gfl_error (and a failing scripted C_GetFunctionList) leaves
   in the caller's table pointer. */
#define MOCK_BOGUS_TABLE ((uintptr_t)0x0BADC0DEu)

/* First handle that C_OpenSession hands out when none is scripted. */
#define MOCK_FIRST_SESSION_HANDLE 0x1000UL

typedef struct MockArg {
    uint32_t kind;        /* MOCK_ARG_* */
    uint32_t has_pointee; /* cell only: non-null, so pointee is valid */
    uint64_t value;       /* raw value as received */
    uint64_t pointee;     /* cell only: the CK_ULONG it held on entry */
} MockArg;

typedef struct MockRecord {
    int32_t entry;        /* MOCK_C_* */
    int32_t nargs;
    uint64_t thread;      /* mock_thread_id() of the calling thread */
    uint64_t rv;          /* what the module answered */
    MockArg args[MOCK_MAX_ARGS];
    /* C_Initialize only */
    int32_t init_args_null;
    int32_t init_word_count;
    uint64_t init_words[MOCK_MAX_INIT_WORDS];
} MockRecord;

typedef struct MockStressResult {
    uint64_t calls;    /* Notify calls made */
    uint64_t nonzero;  /* ... of which answered something other than CKR_OK */
    uint64_t skipped;  /* rounds that found no session to notify */
} MockStressResult;

/* Identity and bookkeeping */
MOCK_API const char *mock_variant(void);
MOCK_API const char *mock_entry_name(int entry);
MOCK_API uint64_t mock_thread_id(void);
/* Clears records, scripts, sessions, stored callbacks and table changes. */
MOCK_API void mock_reset(void);

/* Records */
MOCK_API int mock_record_count(void);
/* 1 and a copy in *out when index exists, else 0. */
MOCK_API int mock_record_get(int index, MockRecord *out);
/* Index of the last record of entry (copied to *out if out), or -1. */
MOCK_API int mock_record_last(int entry, MockRecord *out);
/* Scalar views for callers that cannot take a struct; out of range gives
   -1 for the entry and 0 for values. */
MOCK_API int mock_record_entry(int index);
MOCK_API uint64_t mock_record_arg(int index, int arg);
MOCK_API uint64_t mock_record_pointee(int index, int arg);

/* Scripts */
MOCK_API void mock_set_result(int entry, CK_RV rv);
/* Value to store through argument arg of entry (a CK_ULONG pointer) on
   every call until cleared; unscripted cells are never written. */
MOCK_API void mock_set_out(int entry, int arg, CK_ULONG value);
MOCK_API void mock_clear_out(int entry, int arg);

/* Function table handed out by C_GetFunctionList.  In the Windows packed
   layout the low byte of entry 0 is the table's third byte, which loaders
   use to detect the packing; entry 0 may therefore be a second entry point
   into C_Initialize (recorded as C_Initialize) chosen to make it non-zero. */
MOCK_API void mock_set_entry_null(int entry, int is_null);
MOCK_API void mock_set_table_version(int major, int minor);
MOCK_API const void *mock_table(void);
MOCK_API uint32_t mock_table_size(void);

/* C_Initialize: how many pointer-sized words of the argument record to copy
   (6 for the plain record, 7 for the one with LibraryParameters). */
MOCK_API void mock_set_init_words(int count);

/* Mutex callbacks kept from the last C_Initialize */
MOCK_API int mock_has_mutex_callbacks(void);
MOCK_API CK_RV mock_call_create_mutex(void **mutex);
MOCK_API CK_RV mock_call_destroy_mutex(void *mutex);
MOCK_API CK_RV mock_call_lock_mutex(void *mutex);
MOCK_API CK_RV mock_call_unlock_mutex(void *mutex);
/* create, lock, unlock, destroy once, on this thread or a new native one;
   rv[0..3] get each result; returns how many were not CKR_OK. */
MOCK_API int mock_mutex_cycle(int on_new_thread, CK_RV rv[4]);
/* Callback failures, or -1 without callbacks or with bad counts. */
MOCK_API int mock_mutex_stress(int threads, int iterations);
MOCK_API uint64_t mock_mutex_counter(void);

/* Sessions and notifications */
MOCK_API void mock_set_next_session(CK_SESSION_HANDLE handle);
MOCK_API int mock_session_is_open(CK_SESSION_HANDLE handle);
MOCK_API int mock_session_count(void);
/* pApplication / Notify stored for handle (open or closed); 0 if never seen. */
MOCK_API int mock_session_stored(CK_SESSION_HANDLE handle, uintptr_t *application, uintptr_t *notify);
MOCK_API void mock_set_open_notify(int enabled, CK_NOTIFICATION event);
MOCK_API int mock_open_notify_count(void);
MOCK_API CK_RV mock_open_notify_result(void);
/* Closed sessions still get notified with what they stored. */
MOCK_API void mock_set_stale_notify(int enabled);
MOCK_API CK_RV mock_notify(CK_SESSION_HANDLE session, CK_NOTIFICATION event);
MOCK_API CK_RV mock_notify_from_new_thread(CK_SESSION_HANDLE session, CK_NOTIFICATION event);
MOCK_API uint64_t mock_last_notify_thread(void);
/* Keeps notifying session from `threads` new native threads, each at most
   max_per_thread times, until mock_notify_stress_stop; 0 when started. */
MOCK_API int mock_notify_stress_start(CK_SESSION_HANDLE session, CK_NOTIFICATION event,
                                      int threads, int max_per_thread);
MOCK_API uint64_t mock_notify_stress_calls(void);
MOCK_API void mock_notify_stress_stop(MockStressResult *out);
/* With count > 0, every successful C_OpenSession with a Notify starts a
   native thread that notifies the new session count times with what it
   was given, and returns only once that thread's first notification came
   back: one from another thread during the open, the rest during and after
   it, also after the session closed.  0 turns it off.  Threads that could
   not be started (at most MOCK_MAX_OPEN_THREADS wait to be joined) are
   counted as skipped. */
#define MOCK_MAX_OPEN_THREADS 256
MOCK_API void mock_set_open_notify_threads(int count, CK_NOTIFICATION event);
/* Waits for every such thread started so far; what they did since the
   last join goes to *out (calls, non-CKR_OK answers, threads skipped). */
MOCK_API void mock_open_threads_join(MockStressResult *out);

/* Everything above in one table, so a test needs a single look-up. */
#define MOCK_CONTROL_ABI 1u

typedef struct MockControl {
    uint32_t abi; /* MOCK_CONTROL_ABI */
    const char *(*variant)(void);
    const char *(*entry_name)(int);
    uint64_t (*thread_id)(void);
    void (*reset)(void);
    int (*record_count)(void);
    int (*record_get)(int, MockRecord *);
    int (*record_last)(int, MockRecord *);
    int (*record_entry)(int);
    uint64_t (*record_arg)(int, int);
    uint64_t (*record_pointee)(int, int);
    void (*set_result)(int, CK_RV);
    void (*set_out)(int, int, CK_ULONG);
    void (*clear_out)(int, int);
    void (*set_entry_null)(int, int);
    void (*set_table_version)(int, int);
    const void *(*table)(void);
    uint32_t (*table_size)(void);
    void (*set_init_words)(int);
    int (*has_mutex_callbacks)(void);
    CK_RV (*call_create_mutex)(void **);
    CK_RV (*call_destroy_mutex)(void *);
    CK_RV (*call_lock_mutex)(void *);
    CK_RV (*call_unlock_mutex)(void *);
    int (*mutex_cycle)(int, CK_RV *);
    int (*mutex_stress)(int, int);
    uint64_t (*mutex_counter)(void);
    void (*set_next_session)(CK_SESSION_HANDLE);
    int (*session_is_open)(CK_SESSION_HANDLE);
    int (*session_count)(void);
    int (*session_stored)(CK_SESSION_HANDLE, uintptr_t *, uintptr_t *);
    void (*set_open_notify)(int, CK_NOTIFICATION);
    int (*open_notify_count)(void);
    CK_RV (*open_notify_result)(void);
    void (*set_stale_notify)(int);
    CK_RV (*notify)(CK_SESSION_HANDLE, CK_NOTIFICATION);
    CK_RV (*notify_from_new_thread)(CK_SESSION_HANDLE, CK_NOTIFICATION);
    uint64_t (*last_notify_thread)(void);
    int (*notify_stress_start)(CK_SESSION_HANDLE, CK_NOTIFICATION, int, int);
    uint64_t (*notify_stress_calls)(void);
    void (*notify_stress_stop)(MockStressResult *);
    void (*set_open_notify_threads)(int, CK_NOTIFICATION);
    void (*open_threads_join)(MockStressResult *);
} MockControl;

typedef const MockControl *(*MockControlFn)(void);
#define MOCK_CONTROL_SYMBOL "mock_control"

MOCK_API const MockControl *mock_control(void);

#ifdef __cplusplus
}
#endif

#endif
