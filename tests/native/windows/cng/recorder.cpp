#include "recorder.h"

#include <string.h>

static SRWLOCK g_lock = SRWLOCK_INIT;
static RecordedCall g_calls[kRecordedCalls];
static unsigned g_count;
static Script g_script;

Recorder::Recorder(const char *function) {
    AcquireSRWLockExclusive(&g_lock);
    call_ = &g_calls[g_count % kRecordedCalls];
    g_count++;
    ReleaseSRWLockExclusive(&g_lock);
    memset(call_, 0, sizeof *call_);
    strncpy(call_->function, function, sizeof call_->function - 1);
}

Recorder &Recorder::Value(uintptr_t value) {
    if (call_->argc < kRecordedArgs) call_->args[call_->argc++] = value;
    return *this;
}

Recorder &Recorder::Text(const WCHAR *text) {
    if (text != nullptr && call_->argc < kRecordedArgs) {
        call_->has_text[call_->argc] = true;
        WCHAR *copy = call_->text[call_->argc];
        for (int i = 0; i < kRecordedText - 1 && text[i] != 0; i++) copy[i] = text[i];
    }
    return Address(text);
}

const Script &Scripted() { return g_script; }

DOUBLE_EXPORT void WINAPI DoubleScript(const Script *script) { g_script = *script; }

DOUBLE_EXPORT void WINAPI DoubleReset(void) {
    AcquireSRWLockExclusive(&g_lock);
    g_count = 0;
    g_script = Script();
    ReleaseSRWLockExclusive(&g_lock);
}

DOUBLE_EXPORT unsigned WINAPI DoubleCount(void) {
    AcquireSRWLockShared(&g_lock);
    unsigned count = g_count;
    ReleaseSRWLockShared(&g_lock);
    return count;
}

DOUBLE_EXPORT BOOL WINAPI DoubleCall(unsigned index, RecordedCall *call) {
    AcquireSRWLockShared(&g_lock);
    BOOL kept = index < g_count && g_count - index <= kRecordedCalls;
    if (kept) *call = g_calls[index % kRecordedCalls];
    ReleaseSRWLockShared(&g_lock);
    return kept;
}
