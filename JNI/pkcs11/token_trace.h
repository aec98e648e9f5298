/*
 * The trace of the token natives: what token_call.h's engine, c_Initialize
 * and c_OpenSession write about a call.  A line reads
 *
 *   <time> tid=<id> c_Sign(module=0x5581..., 0x1, 0x7f..[size 32, registered],
 *       0x20, 0x7f..[size 256, registered], [0x100 -> 0x80]) = CKR_OK (0x0) in 41.2 us
 *
 * and when the module was not called, says why instead of the time: the
 * handle is not live, the module's table has no such entry, or which
 * argument could not be passed (shown in its place).
 */
#ifndef ORVJNI_TOKEN_TRACE_H
#define ORVJNI_TOKEN_TRACE_H

#include "pkcs11/token_module.h"
#include "runtime/trace.h"

enum TokenOutcome {
    kTokenCalled,   /* the module answered */
    kTokenNotLive,  /* a zero or stale module handle: CKR_NO_FUNCTION */
    kTokenNoEntry,  /* the table has no such entry: CKR_NO_FUNCTION */
    kTokenRefused,  /* an argument could not be passed: CKR_ARGUMENTS_BAD */
};

struct TokenTrace {
    const char *name;   /* the Java name, "c_Sign" */
    jlong handle;       /* the module handle as Java gave it */
    unsigned unusable;  /* bit i: argument i (after the handle) was unusable */
    TokenOutcome outcome;
    CK_RV rv;
    uint64_t took;      /* ns in the module */
};

/* "c_Sign(module=0x...": the handle, and whether it is live. */
void TraceTokenBegin(TraceLine *line, const TokenTrace &call);
/* The separator before argument index; true (with the reason written in
 * the argument's place) when it was the unusable one. */
bool TraceTokenArgument(TraceLine *line, size_t index, unsigned unusable, const char *reason);
/* ") = CKR_OK (0x0) in 41.2 us", or why the module was not called; writes
 * the line. */
void TraceTokenEnd(TraceLine *line, const TokenTrace &call);

/* " {CKM_SHA256_RSA_PKCS}" of a registered CK_MECHANISM block. */
void TraceMechanism(TraceLine *line, const void *block);
/* " {CKA_CLASS, CKA_LABEL}" of a registered template of count entries. */
void TraceTemplate(TraceLine *line, const void *block, CK_ULONG count);

/* A notification from the module: whom it reached, or why it was dropped,
 * and the answer the module got. */
void TraceNotification(CK_SESSION_HANDLE session, CK_NOTIFICATION event, const void *application,
                       const char *outcome, CK_RV rv);

/* loadExternalModule and unloadExternalModule; with the block events on,
 * an unload also lists what is still live. */
void TraceLoad(JNIEnv *env, jstring path, jlong handle);
void TraceUnload(jlong handle, bool live);
/* Blocks and sessions still live, at unload (ORVJNI_TRACE_BLOCKS). */
void TraceLiveObjects(const char *when);
/* Notification contexts still live, for TraceLiveObjects. */
size_t LiveSessionContexts(void);

#endif
