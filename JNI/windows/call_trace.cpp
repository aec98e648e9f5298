// The pieces of a Windows native's trace line.
#if defined(_WIN32)
#include "windows/call_trace.h"

#include <wchar.h>

#include "pointer/registry.h"

void TraceWinBegin(TraceLine *line, const char *name) {
    TraceBegin(line, name);
    TraceAdd(line, "(");
}

bool TraceWinArgument(TraceLine *line, size_t index, const WinTrace &call, const char *reason) {
    bool refused = call.outcome == kWinRefused;
    // Nothing was read after the refused argument: one "..." stands for
    // all of them (for every argument, when nothing was read at all).
    size_t unread = call.read + (refused ? 1 : 0);
    if (index > unread || (index == unread && call.outcome == kWinCalled)) return true;
    if (index > 0) TraceAdd(line, ", ");
    if (index < call.read) return false;
    if (index == call.read && refused)
        TraceAdd(line, "<%s>", reason != nullptr ? reason : "unusable");
    else
        TraceAdd(line, "...");
    return true;
}

void TraceWinOutcome(TraceLine *line, const WinTrace &call) {
    TraceAdd(line, ")");
    if (call.outcome == kWinRefused)
        TraceAdd(line, " refused: argument %u cannot be passed", static_cast<unsigned>(call.read + 1));
    else if (call.outcome == kWinUnavailable) {
        TraceAdd(line, " not called: %s cannot be bound (", call.entry);
        TraceWin32Code(line, call.error);
        TraceAdd(line, ")");
    }
    TraceAdd(line, " = ");
}

void TraceWinEnd(TraceLine *line, const WinTrace &call) {
    if (call.outcome == kWinCalled) TraceDuration(line, call.took);
    TraceEnd(line);
}

void TraceWideText(TraceLine *line, const WCHAR *text) {
    if (text == nullptr) return TraceAdd(line, "null");
    static_assert(sizeof(WCHAR) == sizeof(uint16_t), "UTF-16 units");
    TraceQuotedWide(line, reinterpret_cast<const uint16_t *>(text), wcslen(text));
}

static void TraceLastError(TraceLine *line, DWORD error) {
    TraceAdd(line, ", last error ");
    TraceWin32Code(line, error);
}

void TraceBoolAnswer(TraceLine *line, bool answer, DWORD error) {
    TraceAdd(line, answer ? "true" : "false");
    if (!answer) TraceLastError(line, error);
}

void TraceAddressAnswer(TraceLine *line, const void *answer, DWORD error) {
    if (answer != nullptr) return TraceAdd(line, "0x%lx", TraceBits(answer));
    TraceAdd(line, "null");
    TraceLastError(line, error);
}

void TraceWinRefusal(const char *native, const char *why) {
    DWORD error = GetLastError();
    TraceLine line;
    TraceBegin(&line, native);
    TraceAdd(&line, " refused: %s = false", why);
    TraceLastError(&line, error);
    TraceEnd(&line);
    SetLastError(error);
}

void TraceBoundsRefusal(const char *native, const char *what, const void *block, size_t count,
                        size_t item_size) {
    DWORD error = GetLastError();
    BlockRecord record;
    if (!RegistryLookup(const_cast<void *>(block), &record)) record.length = 0;
    TraceLine line;
    TraceBegin(&line, native);
    TraceAdd(&line, " refused: %s, %lu x %lu bytes at 0x%lx, runs past its registered block of %lu bytes = false",
             what, static_cast<unsigned long>(count), static_cast<unsigned long>(item_size), TraceBits(block),
             static_cast<unsigned long>(record.length));
    TraceLastError(&line, error);
    TraceEnd(&line);
    SetLastError(error);
}

#endif
