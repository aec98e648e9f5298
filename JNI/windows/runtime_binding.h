/*
 * Entry points of ncrypt.dll and cryptui.dll, bound when a native first
 * needs them rather than linked: the bridge has to load, and its other
 * natives work, on systems that lack either library or one of its
 * functions.
 *
 * Each of the 24 entry points has one slot, empty when the bridge is
 * loaded.  Binding takes the library from the process, or loads it from
 * the system folder and nowhere else (a DLL of the same name planted in
 * the application's folder or on PATH would otherwise run inside the VM),
 * looks the entry up and stores what it found, null or not.  Either way
 * the bridge holds a reference of its own on the library, taken once and
 * never given back, since bound slots point into it for good: someone
 * else's release cannot unload it under them.  A null slot is bound again
 * on the next call, so a library that turns up later is used from then
 * on.  Slots are loaded and stored whole, with no lock: two threads
 * binding at once store the same address.
 *
 * The natives convert their arguments first, as every Windows native does
 * (conventions.h), then bind, then call.  An entry that cannot be bound
 * makes the native answer its unavailable value -- -1 for a CNG status,
 * false for a BOOL -- with no cell written and every string given back.
 * An argument the function could not use stops the native before it
 * binds, with the Result's refusal (NTE_INVALID_PARAMETER for CNG).
 *
 * Windows build only.
 */
#ifndef ORVJNI_WINDOWS_RUNTIME_BINDING_H
#define ORVJNI_WINDOWS_RUNTIME_BINDING_H

#if defined(_WIN32)

#include "windows/conventions.h"

/* One slot per entry point, in the order of the library's own list. */
enum RuntimeEntry {
    kNCryptCreatePersistedKey,
    kNCryptDecrypt,
    kNCryptDeleteKey,
    kNCryptDeriveKey,
    kNCryptEncrypt,
    kNCryptExportKey,
    kNCryptFinalizeKey,
    kNCryptFreeBuffer,
    kNCryptFreeObject,
    kNCryptGetProperty,
    kNCryptImportKey,
    kNCryptIsAlgSupported,
    kNCryptIsKeyHandle,
    kNCryptNotifyChangeKey,
    kNCryptOpenKey,
    kNCryptOpenStorageProvider,
    kNCryptSecretAgreement,
    kNCryptSetProperty,
    kNCryptSignHash,
    kNCryptTranslateHandle,
    kNCryptVerifySignature,
    kCryptUIDlgViewCertificateW,
    kCryptUIDlgSelectCertificateW,
    kCryptUIWizImport,
    kRuntimeEntryCount
};

/* The entry's address, bound first when its slot is empty.  Null when the
 * library or the entry is missing; the thread's last error then tells
 * which (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND). */
void *BindRuntimeEntry(RuntimeEntry entry);

/* What the entry is looked up by: "NCryptDecrypt", L"ncrypt.dll". */
const char *RuntimeEntryName(RuntimeEntry entry);
const wchar_t *RuntimeEntryLibrary(RuntimeEntry entry);

/* ---- Argument kinds of the runtime-bound natives ------------------------ */

/* int[]: a byte count the function only reports (0 until it does). */
typedef NewDwordCellArg CountCellArg;

/* An output cell that Java may leave out: a null cell passes NULL and is
 * not written.  A cell that is given must have room, as any other. */
template <class Cell>
struct Optional {
    typedef typename Cell::Java Java;
    struct Local {
        typename Cell::Local value;
        bool given;
    };
    static bool Read(JNIEnv *env, Java j, Local &l) {
        l.given = j != nullptr;
        return !l.given || Cell::Read(env, j, l.value);
    }
    static decltype(Cell::Pass(std::declval<typename Cell::Local &>())) Pass(Local &l) {
        return l.given ? Cell::Pass(l.value) : nullptr;
    }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &args, L &locals) {
        if (l.given) Cell::Write(env, j, l.value, args, locals);
    }
    static void Release(JNIEnv *env, Java j, Local &l) {
        if (l.given) Cell::Release(env, j, l.value);
    }
    static constexpr const char *kUnusable = Cell::kUnusable;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &before, const L &after, bool called) {
        if (!std::get<I>(before).given) return TraceAdd(line, "null");
        Cell::template Trace<0>(line, env, j, std::make_tuple(std::get<I>(before).value),
                                std::make_tuple(std::get<I>(after).value), called);
    }
};

/* long[]: an event handle, read and written like the registry key. */
typedef SignedHandleCellArg<HANDLE> EventCellArg;


/* ---- Results ------------------------------------------------------------ */

/* A CNG SECURITY_STATUS, bit for bit. */
struct CngStatusResult {
    typedef jint Java;
    static Java From(SECURITY_STATUS value) { return static_cast<Java>(value); }
    static Java Refused() { return static_cast<Java>(NTE_INVALID_PARAMETER); }
    static Java Unavailable() { return -1; }
    static void Trace(TraceLine *line, Java answer, DWORD) {
        TraceSecurityStatus(line, static_cast<uint32_t>(answer));
    }
};

/* A BOOL of a runtime-bound function: false also when it is missing. */
struct BoundBoolResult : BoolResult {
    static Java Unavailable() { return JNI_FALSE; }
};

/* ---- The steps ------------------------------------------------------------ */

/*
 * WinCall's steps with the binding between reading and calling:
 *   1. read every argument (the first unusable one refuses the call);
 *   2. bind the entry; missing: release, answer Result::Unavailable();
 *   3. call it as Fn, keep its last error;
 *   4. write the outputs, release, restore the last error, answer.
 * BindFirst moves step 2 before step 1, for a native that reads nothing
 * when its function is missing.  The trace line of a call that could not
 * be bound names the entry and the binding's last error.
 */
template <typename Result, typename... K>
struct BoundCall {
    typedef WinCall<Result, K...> Steps;

    template <typename Fn, bool BindFirst = false>
    static typename Result::Java Call(const char *name, RuntimeEntry entry, JNIEnv *env,
                                      typename K::Java... java) {
        Fn fn = nullptr;
        typename Steps::Args args(java...);
        typename Steps::Locals locals{};
        // Unbound, the binding's last error tells why the entry is missing.
        if (BindFirst && !(fn = Bind<Fn>(entry)))
            return Steps::NotCalled(name, kWinUnavailable, 0, RuntimeEntryName(entry),
                                    Result::Unavailable(), env, args, locals);
        size_t read = Steps::ReadAll(typename Steps::Indices(), env, args, locals);
        if (read != Steps::kCount) return Steps::Refuse(name, read, env, args, locals);
        if (!BindFirst && !(fn = Bind<Fn>(entry)))
            return Steps::NotCalled(name, kWinUnavailable, read, RuntimeEntryName(entry),
                                    Result::Unavailable(), env, args, locals);
        return Steps::CallAndFinish(typename Steps::Indices(), name, fn, env, args, locals);
    }

    template <typename Fn>
    static Fn Bind(RuntimeEntry entry) {
        return reinterpret_cast<Fn>(BindRuntimeEntry(entry));
    }
};

/* ORV_BOUND_NATIVE(name, entry, Fn, Result, Kind...): the native
 * Java_Orvalith_Base_JNI_<name>, one Java parameter per kind, calling the
 * runtime-bound entry as a function of type Fn through BoundCall. */
#define ORV_BOUND_NATIVE(Name, Entry, Fn, Result, ...)                                         \
    extern "C" JNIEXPORT Result::Java JNICALL Java_Orvalith_Base_JNI_##Name(                    \
        JNIEnv *env, jclass,                                                                       \
        ORV_JAVA_PARAMS(__VA_ARGS__)) {                                                            \
        return BoundCall<Result, __VA_ARGS__>::template Call<Fn>(                               \
            #Name, Entry, env, ORV_JAVA_ARGS(__VA_ARGS__));                                        \
    }

#endif
#endif
