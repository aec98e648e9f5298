/*
 * How a Windows native's call is written into the trace (runtime/trace.h).
 * The engine (conventions.h, runtime_binding.h) and the natives written
 * out by hand build one line per call:
 *
 *   <time> tid=<id> cryptGetHashParam(0x5a1b0, 0x2, 0x1f2e30[size 64],
 *       [0x40 -> 0x14], 0x0) = true in 8.1 us
 *   <time> tid=<id> cryptAcquireContext([-> 0x0], null, "No Such", 0x18,
 *       0xf0000000) = false, last error NTE_KEYSET_NOT_DEF (0x80090019) in 210.4 us
 *
 * Handles show their low 32 bits and DWORDs their value in hex, cells what
 * went in and what came out, Pointers their address and "size" (never
 * their content), strings what the platform got, quoted and cut.  A call
 * the platform never saw says why in place of the time: the argument the
 * bridge could not pass (shown in its place; those after it were not
 * read), or the runtime-bound entry that is missing.
 *
 * Windows build only.
 */
#ifndef ORVJNI_WINDOWS_CALL_TRACE_H
#define ORVJNI_WINDOWS_CALL_TRACE_H

#if defined(_WIN32)

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include "runtime/trace.h"
#include "windows/status_names.h"

enum WinOutcome {
    kWinCalled,       /* the platform answered */
    kWinRefused,      /* an argument could not be passed */
    kWinUnavailable,  /* the runtime-bound entry could not be bound */
};

struct WinTrace {
    const char *name;     /* the Java name, "cryptGenKey" */
    WinOutcome outcome;
    size_t read;          /* arguments read; the refused one is the next */
    const char *entry;    /* the missing entry, when unavailable */
    DWORD error;          /* the last error the caller will see */
    uint64_t took;        /* ns in the platform */
};

/* "cryptGenKey(" */
void TraceWinBegin(TraceLine *line, const char *name);
/* The separator before argument index, and true when the engine writes
 * the argument itself: the refused one (its reason in its place) and,
 * once, "..." for those after it that were never read (for all of them
 * when nothing was read). */
bool TraceWinArgument(TraceLine *line, size_t index, const WinTrace &call, const char *reason);
/* ")" and why the platform was not called, then " = ". */
void TraceWinOutcome(TraceLine *line, const WinTrace &call);
/* The time of a call that was made; writes the line. */
void TraceWinEnd(TraceLine *line, const WinTrace &call);

/* Argument values. */
inline void TraceHex(TraceLine *line, uint32_t value) {
    TraceAdd(line, "0x%lx", static_cast<unsigned long>(value));
}
/* A NUL-terminated UTF-16 argument as the platform got it; null for NULL. */
void TraceWideText(TraceLine *line, const WCHAR *text);

/* Answers.  A BOOL and a handle or context also show the last error when
 * they report a failure. */
void TraceBoolAnswer(TraceLine *line, bool answer, DWORD error);
void TraceAddressAnswer(TraceLine *line, const void *answer, DWORD error);

/* Natives written out by hand that refuse a call before the platform:
 * "<native> refused: <why> = false, last error ...".  The last error (set
 * by the refusal) is kept. */
void TraceWinRefusal(const char *native, const char *why);
/* The same for count items of item_size bytes (what) at block that run
 * past the registered block they are in (FitsBlock said no). */
void TraceBoundsRefusal(const char *native, const char *what, const void *block, size_t count,
                        size_t item_size);

#endif
#endif
