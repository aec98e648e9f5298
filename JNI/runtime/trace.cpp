// The trace's settings, its one output and how a line is put together.
#include "runtime/trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif
#endif

#include "pointer/registry.h"
#include "runtime/lock.h"

int trace_state = kTraceUnread;

static OrvLock trace_lock = ORV_LOCK_INIT;
static FILE *trace_file;   /* under trace_lock; null until the first line */
static bool trace_failed;  /* under trace_lock: the output failed once */

static bool IsSet(const char *value) { return value != nullptr && value[0] != '\0'; }

int TraceReadSettings(void) {
    int state = kTraceOff;
    if (IsSet(getenv("ORVJNI_TRACE"))) {
        const char *blocks = getenv("ORVJNI_TRACE_BLOCKS");
        state = IsSet(blocks) && strcmp(blocks, "0") != 0 ? kTraceBlocks : kTraceCalls;
    }
    __atomic_store_n(&trace_state, state, __ATOMIC_RELAXED);
    return state;
}

static void CloseOutput(void) {
    if (trace_file != nullptr && trace_file != stderr) fclose(trace_file);
    trace_file = nullptr;
}

void TraceReset(void) {
    LockAcquire(&trace_lock);
    CloseOutput();
    trace_failed = false;
    __atomic_store_n(&trace_state, static_cast<int>(kTraceUnread), __ATOMIC_RELAXED);
    LockRelease(&trace_lock);
}

// Under trace_lock.  The output is opened on the first line, not when the
// settings are read, so a process that traces nothing opens nothing.
static FILE *Output(void) {
    if (trace_file != nullptr || trace_failed) return trace_file;
    const char *where = getenv("ORVJNI_TRACE");
    if (!IsSet(where)) return nullptr;
    trace_file = strcmp(where, "stderr") == 0 ? stderr : fopen(where, "a");
    if (trace_file == nullptr) {
        trace_failed = true;
        fprintf(stderr, "orvjni: cannot open the trace file %s; tracing is off\n", where);
    }
    return trace_file;
}

void TraceEnd(TraceLine *line) {
    // A cut line ends in "..." (TraceAdd leaves it at least 3 characters).
    if (line->truncated) memcpy(line->text + line->length - 3, "...", 3);
    line->text[line->length++] = '\n';
    LockAcquire(&trace_lock);
    FILE *out = Output();
    if (out != nullptr && (fwrite(line->text, 1, line->length, out) != line->length || fflush(out) != 0)) {
        // Nothing more is written once the output failed: no retry, no
        // message into an output that is gone.
        trace_failed = true;
        CloseOutput();
    }
    if (trace_failed) __atomic_store_n(&trace_state, static_cast<int>(kTraceOff), __ATOMIC_RELAXED);
    LockRelease(&trace_lock);
}

// One piece of a line, cut (and marked cut) where the line is full.
static void AddFormatted(TraceLine *line, const char *format, va_list args) {
    // One byte stays free for the newline.
    size_t room = ORV_TRACE_LINE_MAX - 1 - line->length;
    if (line->truncated || room <= 1) {
        line->truncated = true;
        return;
    }
    int n = vsnprintf(line->text + line->length, room, format, args);
    if (n < 0) return;
    if (static_cast<size_t>(n) >= room) {
        line->length += room - 1;
        line->truncated = true;
    } else {
        line->length += static_cast<size_t>(n);
    }
}

void TraceAdd(TraceLine *line, const char *format, ...) {
    va_list args;
    va_start(args, format);
    AddFormatted(line, format, args);
    va_end(args);
}

void TraceDecision(const char *native, const char *format, ...) {
    TraceLine line;
    TraceBegin(&line, native);
    TraceAdd(&line, " ");
    va_list args;
    va_start(args, format);
    AddFormatted(&line, format, args);
    va_end(args);
    TraceEnd(&line);
}


void TraceSeparator(TraceLine *line, bool *first) {
    if (!*first) TraceAdd(line, ", ");
    *first = false;
}

static unsigned long long ThreadId(void) {
#if defined(_WIN32)
    return GetCurrentThreadId();
#elif defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return id;
#else
    return static_cast<unsigned long long>(syscall(SYS_gettid));
#endif
}

void TraceBegin(TraceLine *line, const char *what) {
    line->length = 0;
    line->truncated = false;
#if defined(_WIN32)
    SYSTEMTIME t;
    GetSystemTime(&t);
    TraceAdd(line, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds);
#else
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm t;
    gmtime_r(&now.tv_sec, &t);
    TraceAdd(line, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, static_cast<long>(now.tv_nsec / 1000));
#endif
    TraceAdd(line, " tid=%llu %s", ThreadId(), what);
}

uint64_t TraceClock(void) {
#if defined(_WIN32)
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(count.QuadPart) * 1000000000u / static_cast<uint64_t>(frequency.QuadPart);
#else
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
#endif
}

void TraceDuration(TraceLine *line, uint64_t ns) {
    TraceAdd(line, " in %llu.%u us", static_cast<unsigned long long>(ns / 1000),
             static_cast<unsigned>(ns % 1000 / 100));
}

// One character of a quoted string: printable ASCII as it is, quotes,
// backslashes and control characters escaped, the rest as UTF-8.
static void AddCharacter(TraceLine *line, uint32_t c) {
    if (c == '"' || c == '\\')
        TraceAdd(line, "\\%c", static_cast<char>(c));
    else if (c < 0x20 || c == 0x7f)
        TraceAdd(line, "\\x%02x", static_cast<unsigned>(c));
    else if (c < 0x80)
        TraceAdd(line, "%c", static_cast<char>(c));
    else if (c < 0x800)
        TraceAdd(line, "%c%c", 0xc0 | (c >> 6), 0x80 | (c & 0x3f));
    else if (c < 0x10000)
        TraceAdd(line, "%c%c%c", 0xe0 | (c >> 12), 0x80 | ((c >> 6) & 0x3f), 0x80 | (c & 0x3f));
    else
        TraceAdd(line, "%c%c%c%c", 0xf0 | (c >> 18), 0x80 | ((c >> 12) & 0x3f),
                 0x80 | ((c >> 6) & 0x3f), 0x80 | (c & 0x3f));
}

void TraceQuoted(TraceLine *line, const char *text) {
    if (text == nullptr) return TraceAdd(line, "null");
    TraceAdd(line, "\"");
    size_t i = 0;
    for (; text[i] != '\0' && i < ORV_TRACE_TEXT_MAX; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        // Bytes of another encoding are not decoded, only shown.
        if (c >= 0x80)
            TraceAdd(line, "\\x%02x", c);
        else
            AddCharacter(line, c);
    }
    TraceAdd(line, text[i] != '\0' ? "\"..." : "\"");
}

void TraceQuotedWide(TraceLine *line, const uint16_t *text, size_t units) {
    TraceAdd(line, "\"");
    size_t shown = units < ORV_TRACE_TEXT_MAX ? units : ORV_TRACE_TEXT_MAX;
    for (size_t i = 0; i < shown; i++) {
        uint32_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < shown && text[i + 1] >= 0xdc00 && text[i + 1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
        else if (c >= 0xd800 && c < 0xe000)
            c = 0xfffd;  // a surrogate without its pair
        AddCharacter(line, c);
    }
    TraceAdd(line, shown < units ? "\"..." : "\"");
}

void TraceJavaString(TraceLine *line, JNIEnv *env, jstring text) {
    if (text == nullptr) return TraceAdd(line, "null");
    jthrowable held = ShelvePending(env);
    jsize units = env->GetStringLength(text);
    jchar part[ORV_TRACE_TEXT_MAX];
    jsize shown = units < ORV_TRACE_TEXT_MAX ? units : ORV_TRACE_TEXT_MAX;
    // A region copies into our buffer: nothing is pinned, nothing allocated.
    env->GetStringRegion(text, 0, shown, part);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        TraceAdd(line, "<string>");
    } else {
        TraceQuotedWide(line, reinterpret_cast<const uint16_t *>(part), static_cast<size_t>(shown));
        if (shown < units) TraceAdd(line, "...");
    }
    RestorePending(env, held);
}

// A field of the object's class read for the trace only: the lookup's own
// failure is cleared, whatever was pending before stays pending.
static bool PeekField(JNIEnv *env, jobject obj, const char *name, const char *sig, jvalue *value) {
    jthrowable held = ShelvePending(env);
    jclass cls = env->GetObjectClass(obj);
    jfieldID id = cls != nullptr ? env->GetFieldID(cls, name, sig) : nullptr;
    if (id == nullptr) env->ExceptionClear();
    if (id != nullptr && sig[0] == 'J') value->j = env->GetLongField(obj, id);
    if (id != nullptr && sig[0] == 'I') value->i = env->GetIntField(obj, id);
    if (cls != nullptr) env->DeleteLocalRef(cls);
    RestorePending(env, held);
    return id != nullptr;
}

void TracePointer(TraceLine *line, JNIEnv *env, jobject pointer) {
    if (pointer == nullptr) return TraceAdd(line, "null");
    jvalue p, size;
    if (!PeekField(env, pointer, "p", "J", &p)) return TraceAdd(line, "<Pointer without \"p\">");
    void *address = NarrowAddress(p.j);
    TraceAdd(line, "0x%lx", TraceBits(address));
    if (PeekField(env, pointer, "size", "I", &size))
        TraceAdd(line, "[size %ld", static_cast<long>(size.i));
    else
        TraceAdd(line, "[no size");
    TraceAdd(line, address != nullptr && RegistryKnows(address) ? ", registered]" : "]");
}

void TraceSecretPointer(TraceLine *line, JNIEnv *env, jobject pointer, const char *what) {
    if (pointer == nullptr) return TraceAdd(line, "null");
    jvalue size;
    if (PeekField(env, pointer, "size", "I", &size))
        TraceAdd(line, "<%s, %ld bytes>", what, static_cast<long>(size.i));
    else
        TraceAdd(line, "<%s>", what);
}

void TraceCell(TraceLine *line, bool in, unsigned long before, bool called, unsigned long after) {
    if (in) TraceAdd(line, "[0x%lx", before);
    else TraceAdd(line, "[");
    if (called) TraceAdd(line, in ? " -> 0x%lx" : "-> 0x%lx", after);
    else if (!in) TraceAdd(line, "out");
    TraceAdd(line, "]");
}

void TraceNamed(TraceLine *line, const char *name, unsigned long value) {
    if (name != nullptr)
        TraceAdd(line, "%s (0x%lx)", name, value);
    else
        TraceAdd(line, "0x%lx", value);
}
