/*
 * The call trace: one line per native call, switched on by ORVJNI_TRACE
 * ("stderr", or a file opened for appending on first use), and the block
 * registry's events on top of it with ORVJNI_TRACE_BLOCKS=1.
 *
 * When the variable is unset or empty nothing is traced and nothing is
 * opened; the only cost a native pays is TraceOn(): one relaxed load and a
 * branch.  The settings are read once, on the first call that asks.
 *
 * A line is built in a TraceLine on the caller's stack and written with
 * one write under a lock, so lines of different threads never mix.  The
 * first write that fails (a full disk, a closed stderr) ends the trace:
 * tracing turns off and nothing is written again.
 *
 * The trace never changes what a native does: everything here reads, and
 * what it reads of Java objects it reads with any pending exception set
 * aside and its own failures cleared.  No block content is ever written,
 * only addresses and sizes, and of a mechanism or template block the
 * types the native knows the layout of.
 */
#ifndef ORVJNI_TRACE_H
#define ORVJNI_TRACE_H

#include <stddef.h>
#include <stdint.h>

#include "runtime/bridge.h"

/* Off is 0 so that the check a native makes when nothing is traced is one
 * load and one test; the settings are read on the first check that finds
 * them unread. */
enum TraceState { kTraceOff = 0, kTraceUnread = 1, kTraceCalls = 2, kTraceBlocks = 3 };
extern int trace_state; /* atomic; a TraceState, kTraceUnread at load */

/* Reads ORVJNI_TRACE and ORVJNI_TRACE_BLOCKS; the state they give. */
int TraceReadSettings(void);

inline int TraceLevel() {
    int state = __atomic_load_n(&trace_state, __ATOMIC_RELAXED);
    if (__builtin_expect(state == kTraceOff, 1)) return kTraceOff;
    return state != kTraceUnread ? state : TraceReadSettings();
}
/* Whether native calls are traced. */
inline bool TraceOn() { return TraceLevel() >= kTraceCalls; }
/* Whether the block registry's events are traced as well. */
inline bool TraceBlocksOn() { return TraceLevel() >= kTraceBlocks; }

/* Forgets the settings and closes the trace, so that the next call reads
 * the environment again.  For tests, which switch the trace on and off. */
void TraceReset(void);

/* ---- Lines ---------------------------------------------------------------- */

#define ORV_TRACE_LINE_MAX 1536
/* Longest piece of a string argument that is written. */
#define ORV_TRACE_TEXT_MAX 64

struct TraceLine {
    size_t length;
    bool truncated;
    char text[ORV_TRACE_LINE_MAX];
};

/* "<UTC time> tid=<OS thread id> <what>": the start of every line. */
void TraceBegin(TraceLine *line, const char *what);
void TraceAdd(TraceLine *line, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* ", " before every argument but the first of a call. */
void TraceSeparator(TraceLine *line, bool *first);
/* A string quoted, at most ORV_TRACE_TEXT_MAX characters of it; null
 * without quotes. */
void TraceQuoted(TraceLine *line, const char *text);
void TraceQuotedWide(TraceLine *line, const uint16_t *text, size_t units);
/* Writes the line and a newline, whole. */
void TraceEnd(TraceLine *line);

/* Monotonic nanoseconds, for how long the module or platform call took. */
uint64_t TraceClock(void);
/* An address as the trace writes it everywhere: "0x7f12...", "0x0". */
inline unsigned long TraceBits(const void *address) {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address));
}
/* " in 12.3 us" */
void TraceDuration(TraceLine *line, uint64_t took);

/* A cell: "[0x100 -> 0x80]" read and written, "[-> 0x5]" only written,
 * and only what went in ("[0x100]", "[out]") when the call was not made. */
void TraceCell(TraceLine *line, bool in, unsigned long before, bool called, unsigned long after);
/* A JNI$Pointer: null, its address with "size" and whether the registry
 * knows the block, or that it has no "p". */
void TracePointer(TraceLine *line, JNIEnv *env, jobject pointer);
/* A JNI$Pointer whose block holds a secret (a PIN, a password): only
 * "<what, N bytes>" from its "size", null for a null object. */
void TraceSecretPointer(TraceLine *line, JNIEnv *env, jobject pointer, const char *what);
/* A string argument as the VM gives it, quoted and cut. */
void TraceJavaString(TraceLine *line, JNIEnv *env, jstring text);

/* A decision of the bridge's own, outside any call's line: "<native>
 * <what>", e.g. a Pointer without "p", a copy refused for its bounds. */
void TraceDecision(const char *native, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* ---- Names of Cryptoki values ----------------------------------------------- */

/* The name of a value, or null when it has none. */
const char *CkrName(unsigned long rv);
const char *CkmName(unsigned long mechanism);
const char *CkaName(unsigned long type);
/* "CKR_OK (0x0)", or just the hex for a value without a name. */
void TraceNamed(TraceLine *line, const char *name, unsigned long value);
inline void TraceRv(TraceLine *line, unsigned long rv) { TraceNamed(line, CkrName(rv), rv); }

#endif
