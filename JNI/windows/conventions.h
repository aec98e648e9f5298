/*
 * How every Windows native meets its platform function.  The CryptoAPI,
 * certificate-store, system, CNG and certificate-UI natives all move their
 * values the same way, so the ways are written here once:
 *
 *  - Handles going in: a Java long of which only the low 32 bits reach the
 *    platform (HandleIn, HandleArg).  Whatever Java put in the high half
 *    is ignored; the bridge checks no handle itself.
 *  - Handles coming out: HCRYPTPROV, HCRYPTKEY, HCRYPTHASH and the other
 *    unsigned handle types zero-extended (HandleOut, HandleCellArg); the
 *    registry key, store handles, block addresses and HRESULTs
 *    sign-extended (SignedOut, KeyCellArg), as Java code has always seen
 *    them on the 32-bit build.
 *  - Strings: the W functions get the Java string's UTF-16 units as a
 *    NUL-terminated copy (WideText, WideArg), the A functions a copy in the
 *    ANSI code page (AnsiText, AnsiArg); null stays NULL; both are given
 *    back after the call.
 *  - Native data: a JNI$Pointer passes its block address, read from "p";
 *    a null object is the NULL pointer (DataArg).  Nothing is copied.
 *  - Cells: element 0 of a one-element int[], long[] or boolean[], read
 *    without copy-back and written with copy-back (ReadDwordCell, ...).
 *  - Output lengths of data Pointers: the length cell is written after
 *    every call, and then the Pointer's "p" and "size" when it has a block
 *    (LengthCellArg, DataWithLength).
 *  - Results: BOOL as a Java boolean, status codes as int, HRESULT as a
 *    sign-extended long (BoolResult, StatusResult, HresultResult).
 *
 * An argument the platform could not use -- a null or empty cell that must
 * be read or written, a Pointer whose class has no long field "p", a
 * string the VM or the heap could not supply -- stops the native before
 * the platform is called.  Nothing is written, and the native answers its
 * failure value: false for a BOOL native, which also sets the thread's
 * last error to ERROR_INVALID_PARAMETER so that getLastError explains it;
 * ERROR_INVALID_PARAMETER for a status native; E_INVALIDARG for an
 * HRESULT one.  The bridge's own exception (a missing "p", no memory)
 * stays pending for the Java caller.  No address is ever made up.
 *
 * The last error that the platform function left is kept across the
 * bridge's own work after the call (cells, Pointer updates, releases), so
 * getLastError answers for the platform function, not for the VM.
 *
 * With the trace on (runtime/trace.h, windows/call_trace.h) every call
 * writes one line: the arguments as the platform got them, the answer by
 * name (a BOOL's false with its last error), the platform call's time, or
 * why the platform was not called.  The trace only reads, and keeps the
 * last error too; off, it costs one TraceOn() check per call.
 *
 * Regular natives are one line each:
 *
 *   ORV_WIN_NATIVE(cryptGenKey, CryptGenKey, BoolResult,
 *                  HandleArg, DwordArg, DwordArg, HandleCellArg)
 *
 * defines the exported Java_Orvalith_Base_JNI_cryptGenKey(JNIEnv *, jclass,
 * jlong, jint, jint, jlongArray) -- an ordinary extern "C" stdcall function
 * with its exact JNI signature, so its decorated name carries the right
 * byte count -- that runs WinCall's steps:
 *
 *   1. Read every argument in order (Read); the first that cannot be used
 *      stops here: everything read so far is released and the Result's
 *      refusal is answered.
 *   2. Call the platform function once (Pass gives each local its
 *      platform form); keep its last error.
 *   3. Write every output in argument order (Write), whatever the platform
 *      answered.
 *   4. Release what step 1 took (Release), restore the last error, answer
 *      the platform's result (Result::From).
 *
 * An argument kind is a record of static functions and two types:
 *   Java   the JNI parameter type;  Local  what the native keeps;
 *   bool Read(JNIEnv *, Java, Local &)   false: the argument is unusable;
 *   Pass(Local &)                        the value the platform gets;
 *   template <class A, class L>
 *   void Write(JNIEnv *, Java, Local &, const A &args, L &locals)
 *                                        after the call; args and locals
 *                                        are all the native's, so that a
 *                                        length cell can update its Pointer;
 *   void Release(JNIEnv *, Java, Local &)  also for a Local never read
 *                                        (it is then value-initialised);
 *   kUnusable                            what the trace says of an argument
 *                                        Read refused (null: never refused);
 *   template <size_t I, class L>
 *   void Trace(TraceLine *, JNIEnv *, Java, const L &before,
 *              const L &after, bool called)
 *                                        how the trace shows argument I:
 *                                        before and after are all the
 *                                        locals as they went in and as the
 *                                        platform left them.
 * A Result is a record with  Java  (the native's return type),
 * Java From(platform result),  Java Refused()  and
 * void Trace(TraceLine *, Java, DWORD last_error)  for the trace.
 * Natives whose platform function is bound at run time pass the function
 * pointer to WinCall<...>::Call themselves.
 *
 * Windows build only.
 */
#ifndef ORVJNI_WINDOWS_CONVENTIONS_H
#define ORVJNI_WINDOWS_CONVENTIONS_H

#if defined(_WIN32)

#include <windows.h>
#include <wincrypt.h>
#include <stddef.h>
#include <stdint.h>

#include <tuple>
#include <type_traits>
#include <utility>

#include "pointer/pointer_windows.h"
#include "runtime/bridge.h"
#include "runtime/native_params.h"
#include "windows/call_trace.h"

static_assert(sizeof(void *) == 4 && sizeof(ULONG_PTR) == 4 && sizeof(DWORD) == 4,
              "the Windows natives are written for the 32-bit platform");

/* ---- Handles ---------------------------------------------------------- */

/* The low 32 bits of a Java long, as whatever handle, pointer or integer
 * type the platform's prototype names (HCRYPTPROV, HKEY, HCERTSTORE,
 * DWORD *, ...). */
struct LowHandle {
    uint32_t bits;
    template <typename T>
    operator T() const {
        if constexpr (std::is_pointer<T>::value)
            return reinterpret_cast<T>(static_cast<uintptr_t>(bits));
        else
            return static_cast<T>(bits);
    }
};

inline LowHandle HandleIn(jlong value) {
    return LowHandle{static_cast<uint32_t>(static_cast<uint64_t>(value))};
}

/* An unsigned handle (HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, NCRYPT_HANDLE...)
 * as a Java long: high 32 bits 0. */
inline jlong HandleOut(ULONG_PTR handle) {
    return static_cast<jlong>(static_cast<uint64_t>(static_cast<uint32_t>(handle)));
}

/* A pointer-typed value (HKEY, HCERTSTORE, a context or block address) as
 * a Java long: sign-extended from 32 bits. */
inline jlong SignedOut(const void *value) {
    return static_cast<jlong>(static_cast<int32_t>(reinterpret_cast<uintptr_t>(value)));
}

/* A 32-bit status (HRESULT, SECURITY_STATUS) as a Java long, sign-extended. */
inline jlong SignedOut32(LONG value) { return static_cast<jlong>(value); }

/* ---- Results ---------------------------------------------------------- */

inline jboolean BoolOut(BOOL value) { return value ? JNI_TRUE : JNI_FALSE; }

/* What a BOOL native answers for an argument it could not pass on. */
inline jboolean RefuseBool() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return JNI_FALSE;
}

struct BoolResult {
    typedef jboolean Java;
    static Java From(BOOL value) { return BoolOut(value); }
    static Java Refused() { return RefuseBool(); }
    static void Trace(TraceLine *line, Java answer, DWORD error) { TraceBoolAnswer(line, answer, error); }
};

/* LSTATUS, SECURITY_STATUS and other Win32 codes, bit for bit as an int. */
struct StatusResult {
    typedef jint Java;
    static Java From(LONG value) { return static_cast<Java>(value); }
    static Java Refused() { return static_cast<Java>(ERROR_INVALID_PARAMETER); }
    static void Trace(TraceLine *line, Java answer, DWORD) {
        TraceWin32Code(line, static_cast<uint32_t>(answer));
    }
};

struct HresultResult {
    typedef jlong Java;
    static Java From(HRESULT value) { return SignedOut32(value); }
    static Java Refused() { return SignedOut32(E_INVALIDARG); }
    static void Trace(TraceLine *line, Java answer, DWORD) {
        TraceHresult(line, static_cast<uint32_t>(answer));
    }
};

/* A pointer-typed handle returned as a long (a store handle): sign-extended;
 * NULL, with the last error set, when the call could not be made. */
struct SignedResult {
    typedef jlong Java;
    static Java From(const void *value) { return SignedOut(value); }
    static Java Refused() {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    static void Trace(TraceLine *line, Java answer, DWORD error) {
        TraceAddressAnswer(line, HandleIn(answer), error);
    }
};

/* ---- Strings ---------------------------------------------------------- */

/* A Java string's UTF-16 units for a W function.  text is a NUL-terminated
 * copy, or NULL for a null string (and, when asked, for an empty one);
 * the units stay taken until ReleaseWideText, after the call. */
struct WideText {
    jstring string;
    const jchar *chars;
    WCHAR *text;
};

/* False when the VM could not give the units or the copy could not be
 * allocated ("Out of memory" raised); *out is then already released. */
bool TakeWideText(JNIEnv *env, jstring s, bool empty_as_null, WideText *out);
/* Safe on a zero-initialised WideText and on one released before. */
void ReleaseWideText(JNIEnv *env, WideText *text);

/* A copy in the system ANSI code page (jstringToWindows), NULL for a null
 * string.  False when the copy could not be made. */
bool TakeAnsiText(JNIEnv *env, jstring s, char **out);
inline void ReleaseAnsiText(char **text) {
    free(*text);
    *text = nullptr;
}

/* ---- Native data and cells -------------------------------------------- */

/* The block address of a JNI$Pointer (NULL for a null object).  False
 * when the object's class has no long field "p": the bridge exception is
 * pending and *block must not be used. */
bool ReadBlock(JNIEnv *env, jobject pointer, void **block);

/* Whether count items of item_size bytes fit in the block at address:
 * false only for a block the registry knows that is shorter (or for a
 * size past the address space); a block the registry does not know
 * (the platform's own memory, a Java array's pinned elements) is taken on
 * trust, as the platform takes it. */
bool FitsBlock(const void *block, size_t count, size_t item_size);

/* Element 0 of a cell.  The readers release without copy-back, the writers
 * with copy-back.  False (nothing read or written) for a null or empty
 * cell, or when the VM cannot supply its elements. */
bool ReadDwordCell(JNIEnv *env, jintArray cell, DWORD *value);
bool WriteDwordCell(JNIEnv *env, jintArray cell, DWORD value);
/* The low 32 bits of element 0. */
bool ReadHandleCell(JNIEnv *env, jlongArray cell, ULONG_PTR *handle);
/* Zero-extended: unsigned handle types. */
bool WriteHandleCell(JNIEnv *env, jlongArray cell, ULONG_PTR handle);
/* Sign-extended: the registry key and other pointer-typed handles. */
bool WriteSignedCell(JNIEnv *env, jlongArray cell, const void *value);
/* The BOOL's low byte, as the platform gave it. */
bool WriteFlagCell(JNIEnv *env, jbooleanArray cell, BOOL value);

/* After a call that reported an output length for a data Pointer: "p"
 * again and "size" = length, when the Pointer has a block. */
void UpdateDataPointer(JNIEnv *env, jobject pointer, void *block, DWORD length);

/* A data Pointer with its length cell, for natives written out by hand:
 * read both before the call, pass block and &length, write both after. */
struct DataWithLength {
    void *block;
    DWORD length;
};
bool ReadDataWithLength(JNIEnv *env, jobject pointer, jintArray cell, DataWithLength *data);
/* The cell first, then the Pointer; after every call that was made. */
void WriteDataWithLength(JNIEnv *env, jobject pointer, jintArray cell, const DataWithLength &data);

/* ---- Argument kinds ----------------------------------------------------- */

/* A block address converting to whatever pointer type the prototype names
 * (BYTE *, LPWSTR, OSVERSIONINFOW *, GUID *, ...). */
struct AnyPointer {
    void *address;
    template <typename T>
    operator T *() const {
        return static_cast<T *>(address);
    }
};

struct HandleArg {  // long: a handle, or a reserved pointer, by its low 32 bits
    typedef jlong Java;
    typedef jlong Local;
    static bool Read(JNIEnv *, Java j, Local &l) { return l = j, true; }
    static LowHandle Pass(Local &l) { return HandleIn(l); }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &, bool) {
        TraceHex(line, HandleIn(std::get<I>(before)));
    }
};

struct DwordArg {  // int: DWORD, ALG_ID, flags, lengths, counts
    typedef jint Java;
    typedef DWORD Local;
    static bool Read(JNIEnv *, Java j, Local &l) { return l = static_cast<DWORD>(j), true; }
    static DWORD Pass(Local &l) { return l; }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &, bool) {
        TraceHex(line, std::get<I>(before));
    }
};

struct BoolArg {  // boolean: a BOOL argument, 0 or 1
    typedef jboolean Java;
    typedef BOOL Local;
    static bool Read(JNIEnv *, Java j, Local &l) { return l = j ? TRUE : FALSE, true; }
    static BOOL Pass(Local &l) { return l; }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &, bool) {
        TraceAdd(line, std::get<I>(before) ? "TRUE" : "FALSE");
    }
};

/* A 32-bit argument the native never reads; the platform gets NULL in its
 * place (a description string, a reserved pointer). */
template <typename J>
struct UnreadArg {
    static_assert(sizeof(J) == 4, "an unread argument is 32 bits wide");
    typedef J Java;
    typedef int Local;
    static bool Read(JNIEnv *, Java, Local &) { return true; }
    static std::nullptr_t Pass(Local &) { return nullptr; }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &, const L &, bool) {
        TraceAdd(line, "null");
    }
};

struct DataArg {  // JNI$Pointer: its block address, in place
    typedef jobject Java;
    typedef void *Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return ReadBlock(env, j, &l); }
    static AnyPointer Pass(Local &l) { return AnyPointer{l}; }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a Pointer without \"p\"";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &, const L &, bool) {
        TracePointer(line, env, j);
    }
};

struct DwordCellArg {  // int[]: a DWORD read before the call, written after it
    typedef jintArray Java;
    typedef DWORD Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return ReadDwordCell(env, j, &l); }
    static DWORD *Pass(Local &l) { return &l; }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &, L &) { WriteDwordCell(env, j, l); }
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &after, bool called) {
        TraceCell(line, true, std::get<I>(before), called, std::get<I>(after));
    }
};

/* int[]: the length of the data Pointer that is argument Data (0-based,
 * counted after the environment and the class).  In: the block's capacity
 * (or the input's length); out: the length the platform reported, into
 * the cell and then into the Pointer's "size". */
template <size_t Data>
struct LengthCellArg {
    typedef jintArray Java;
    typedef DWORD Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return ReadDwordCell(env, j, &l); }
    static DWORD *Pass(Local &l) { return &l; }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &args, L &locals) {
        static_assert(std::is_same<typename std::tuple_element<Data, L>::type, void *>::value,
                      "a length cell belongs to a data Pointer");
        WriteDwordCell(env, j, l);
        UpdateDataPointer(env, std::get<Data>(args), std::get<Data>(locals), l);
    }
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &after, bool called) {
        TraceCell(line, true, std::get<I>(before), called, std::get<I>(after));
    }
};

/* long[]: an unsigned handle, preset from the cell's low 32 bits, written
 * back zero-extended. */
struct HandleCellArg {
    typedef jlongArray Java;
    typedef ULONG_PTR Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return ReadHandleCell(env, j, &l); }
    static ULONG_PTR *Pass(Local &l) { return &l; }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &, L &) { WriteHandleCell(env, j, l); }
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &after, bool called) {
        TraceCell(line, true, std::get<I>(before), called, std::get<I>(after));
    }
};

/* A cell the platform only writes: its local starts at zero (so a call
 * that fails without writing reports 0), the cell is only checked for room
 * before the call, and it is written back after it. */
template <typename Array, typename Value, bool (*WriteBack)(JNIEnv *, Array, Value)>
struct OutputCellArg {
    typedef Array Java;
    typedef Value Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return l = 0, CellUsable(env, j); }
    static Value *Pass(Local &l) { return &l; }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &, L &) { WriteBack(env, j, l); }
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &, const L &after, bool called) {
        TraceCell(line, false, 0, called, static_cast<uint32_t>(std::get<I>(after)));
    }
};
/* long[]: a new unsigned handle, written back zero-extended. */
typedef OutputCellArg<jlongArray, ULONG_PTR, WriteHandleCell> NewHandleCellArg;
/* int[]: a DWORD (a count, a flag word) the platform only reports. */
typedef OutputCellArg<jintArray, DWORD, WriteDwordCell> NewDwordCellArg;
/* boolean[]: a BOOL the platform only sets; FALSE until it does. */
typedef OutputCellArg<jbooleanArray, BOOL, WriteFlagCell> FlagCellArg;

/* long[]: a handle preset from the cell's low 32 bits and written back
 * sign-extended, as the registry key and kernel objects' handles reach
 * Java. */
template <typename Handle>
struct SignedHandleCellArg {
    typedef jlongArray Java;
    typedef Handle Local;
    static bool Read(JNIEnv *env, Java j, Local &l) {
        ULONG_PTR bits = 0;
        bool usable = ReadHandleCell(env, j, &bits);
        l = reinterpret_cast<Handle>(bits);
        return usable;
    }
    static Handle *Pass(Local &l) { return &l; }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &, L &) { WriteSignedCell(env, j, l); }
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &after, bool called) {
        TraceCell(line, true, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(std::get<I>(before))),
                     called, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(std::get<I>(after))));
    }
};
typedef SignedHandleCellArg<HKEY> KeyCellArg;

/* String for a W function: NUL-terminated UTF-16, or NULL for null;
 * EmptyAsNull also passes an empty string as NULL. */
template <bool EmptyAsNull>
struct WideStringArg {
    typedef jstring Java;
    typedef WideText Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return TakeWideText(env, j, EmptyAsNull, &l); }
    static WCHAR *Pass(Local &l) { return l.text; }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *env, Java, Local &l) { ReleaseWideText(env, &l); }
    static constexpr const char *kUnusable = "a string the VM could not supply";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &, bool) {
        TraceWideText(line, std::get<I>(before).text);
    }
};
typedef WideStringArg<false> WideArg;
typedef WideStringArg<true> WideOrEmptyArg;

struct AnsiArg {  // String for an A function: an ANSI copy, or NULL for null
    typedef jstring Java;
    typedef char *Local;
    static bool Read(JNIEnv *env, Java j, Local &l) { return TakeAnsiText(env, j, &l); }
    static char *Pass(Local &l) { return l; }
    template <class A, class L>
    static void Write(JNIEnv *, Java, Local &, const A &, L &) {}
    static void Release(JNIEnv *, Java, Local &l) { ReleaseAnsiText(&l); }
    static constexpr const char *kUnusable = "a string that could not be converted";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java , const L &before, const L &, bool) {
        TraceQuoted(line, std::get<I>(before));
    }
};

/* ---- The steps ------------------------------------------------------------ */

/*
 * Every Windows native, runtime-bound ones included (runtime_binding.h):
 *   1. read every argument; the first one that cannot be used refuses the
 *      call (Result::Refused()), and all are released;
 *   2. call the function, keep its last error;
 *   3. write the outputs, release, restore the last error, answer.
 * With the trace on, the call's line is written after step 2 (or after
 * the refusal), while the strings are still held and before the outputs
 * update any Pointer: cells show what went in and what the platform
 * wrote.  The trace's own work keeps the last error too.
 */
template <typename Result, typename... K>
struct WinCall {
    typedef typename Result::Java Java;
    typedef std::tuple<typename K::Java...> Args;
    typedef std::tuple<typename K::Local...> Locals;
    typedef std::index_sequence_for<K...> Indices;
    static constexpr size_t kCount = sizeof...(K);

    /* How many arguments were read: kCount, or the index of the first that
     * cannot be used.  Nothing is released here. */
    template <size_t... I>
    static size_t ReadAll(std::index_sequence<I...>, JNIEnv *env, const Args &args, Locals &locals) {
        size_t read = kCount;
        // A comma fold runs left to right: argument order, and nothing is
        // read after the first argument that cannot be used.
        ((read == kCount && !K::Read(env, std::get<I>(args), std::get<I>(locals)) ? (void)(read = I)
                                                                                   : (void)0),
         ...);
        return read;
    }

    template <size_t... I>
    static void ReleaseAll(std::index_sequence<I...>, JNIEnv *env, const Args &args, Locals &locals) {
        (K::Release(env, std::get<I>(args), std::get<I>(locals)), ...);
    }

    template <size_t... I>
    static void WriteAll(std::index_sequence<I...>, JNIEnv *env, const Args &args, Locals &locals) {
        (K::Write(env, std::get<I>(args), std::get<I>(locals), args, locals), ...);
    }

    /* The call's line: each argument as its kind shows it.  Out of line,
     * as is CallTraced, so that the line buffer and its stack guard stay
     * out of the untraced native. */
    template <size_t... I>
    __attribute__((noinline, cold)) static void Trace(std::index_sequence<I...>, const WinTrace &call, JNIEnv *env, const Args &args,
                      const Locals &before, const Locals &after, Java answer) {
        TraceLine line;
        TraceWinBegin(&line, call.name);
        bool called = call.outcome == kWinCalled;
        ((TraceWinArgument(&line, I, call, K::kUnusable) ||
          (K::template Trace<I>(&line, env, std::get<I>(args), before, after, called), true)),
         ...);
        TraceWinOutcome(&line, call);
        Result::Trace(&line, answer, call.error);
        TraceWinEnd(&line, call);
    }

    /* A call the platform never saw: argument read could not be passed, or
     * (read == kCount) the runtime-bound entry is missing.  The answer's
     * last error is the one the caller sees, after the releases too. */
    static Java NotCalled(const char *name, WinOutcome outcome, size_t read, const char *entry,
                          Java answer, JNIEnv *env, const Args &args, Locals &locals) {
        DWORD error = GetLastError();
        if (TraceOn())
            Trace(Indices(), WinTrace{name, outcome, read, entry, error, 0}, env, args, locals, locals,
                  answer);
        ReleaseAll(Indices(), env, args, locals);
        SetLastError(error);
        return answer;
    }

    static Java Refuse(const char *name, size_t read, JNIEnv *env, const Args &args, Locals &locals) {
        return NotCalled(name, kWinRefused, read, nullptr, Result::Refused(), env, args, locals);
    }

    template <typename Fn, size_t... I>
    static Java CallAndFinish(std::index_sequence<I...> indices, const char *name, Fn fn, JNIEnv *env,
                              const Args &args, Locals &locals) {
        if (TraceOn()) return CallTraced(indices, name, fn, env, args, locals);
        auto answer = fn(K::Pass(std::get<I>(locals))...);
        DWORD error = GetLastError();
        WriteAll(indices, env, args, locals);
        ReleaseAll(indices, env, args, locals);
        SetLastError(error);
        return Result::From(answer);
    }

    /* The same steps, timed, with the locals kept as they went in. */
    template <typename Fn, size_t... I>
    __attribute__((noinline, cold)) static Java CallTraced(std::index_sequence<I...> indices, const char *name, Fn fn, JNIEnv *env,
                           const Args &args, Locals &locals) {
        Locals before = locals;
        uint64_t started = TraceClock();
        auto answer = fn(K::Pass(std::get<I>(locals))...);
        DWORD error = GetLastError();
        uint64_t took = TraceClock() - started;
        Java result = Result::From(answer);
        Trace(indices, WinTrace{name, kWinCalled, kCount, nullptr, error, took}, env, args, before,
              locals, result);
        WriteAll(indices, env, args, locals);
        ReleaseAll(indices, env, args, locals);
        SetLastError(error);
        return result;
    }

    template <typename Entry>
    static Java Call(const char *name, Entry entry, JNIEnv *env, typename K::Java... java) {
        Args args(java...);
        Locals locals{};
        size_t read = ReadAll(Indices(), env, args, locals);
        if (read != kCount) return Refuse(name, read, env, args, locals);
        return CallAndFinish(Indices(), name, entry, env, args, locals);
    }
};


/* ORV_WIN_NATIVE(name, PlatformFunction, Result, Kind...): the native
 * Java_Orvalith_Base_JNI_<name>, one Java parameter per kind (at least
 * one), calling PlatformFunction through WinCall. */
#define ORV_WIN_NATIVE(Name, Entry, Result, ...)                                               \
    extern "C" JNIEXPORT Result::Java JNICALL Java_Orvalith_Base_JNI_##Name(                    \
        JNIEnv *env, jclass,                                                                       \
        ORV_JAVA_PARAMS(__VA_ARGS__)) {                                                            \
        return WinCall<Result, __VA_ARGS__>::Call(                                                 \
            #Name, Entry, env, ORV_JAVA_ARGS(__VA_ARGS__));                                        \
    }

#endif
#endif
