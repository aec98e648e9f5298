/*
 * The one way every token native runs.  A native is described by its
 * Cryptoki entry and the kind of each Java argument; from that the steps
 * follow, in this order:
 *
 *   1. read each Pointer's block address, in argument order;
 *   2. read each in/out cell into its CK_ULONG local (output cells are only
 *      checked for room);
 *   3. a zero module handle, or one that is not live, answers
 *      CKR_NO_FUNCTION; a live one is held until the native returns;
 *   4. so does a null entry in the module's table;
 *   5. call the entry, integers narrowed, cells as the address of their local;
 *   6. write every cell back from its local, whatever the module answered;
 *   7. answer the module's CK_RV, widened.
 *
 * An argument the module could not use (a null or empty cell, a Pointer
 * whose class has no "p") stops the call before step 5 with
 * CKR_ARGUMENTS_BAD, writing nothing: no address is ever made up.
 *
 * With the trace on (runtime/trace.h) each call becomes one line after
 * step 7: every argument as the module got it (cells as value in -> value
 * out), the answer by name and the module call's time, or why the module
 * was not called.  Each kind says how it is shown (Trace); the kinds
 * Mechanism, Template and Secret pass a block like Block and only show it
 * differently: a mechanism's type, a template's attribute types, and of a
 * PIN nothing but its length.
 */
#ifndef ORVJNI_TOKEN_CALL_H
#define ORVJNI_TOKEN_CALL_H

#include <stddef.h>

#include <tuple>
#include <type_traits>
#include <utility>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"
#include "runtime/native_params.h"

// A block address that converts to whatever pointer type the prototype
// names (CK_BYTE_PTR, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, ...).
struct BlockAddress {
    void *address;
    template <typename T>
    operator T *() const {
        return static_cast<T *>(address);
    }
};

// The argument kinds.  Each says what Java passes, what the native keeps
// between the steps, and what it does at steps 1, 2, 5 and 6.
struct Ulong {  // CK_ULONG and everything defined as one
    typedef jlong Java;
    typedef CK_ULONG Local;
    static bool Read(JNIEnv *, Java j, Local &l) { return l = NarrowUlong(j), true; }
    static bool ReadCell(JNIEnv *, Java, Local &) { return true; }
    static CK_ULONG Pass(Local &l) { return l; }
    static void Write(JNIEnv *, Java, Local) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &, bool) {
        TraceAdd(line, "0x%lx", static_cast<unsigned long>(std::get<I>(before)));
    }
};

struct Flag {  // CK_BBOOL
    typedef jboolean Java;
    typedef CK_BBOOL Local;
    static bool Read(JNIEnv *, Java j, Local &l) { return l = j ? CK_TRUE : CK_FALSE, true; }
    static bool ReadCell(JNIEnv *, Java, Local &) { return true; }
    static CK_BBOOL Pass(Local &l) { return l; }
    static void Write(JNIEnv *, Java, Local) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &, bool) {
        TraceAdd(line, std::get<I>(before) ? "CK_TRUE" : "CK_FALSE");
    }
};

struct Reserved {  // pReserved: the long is the pointer itself
    typedef jlong Java;
    typedef void *Local;
    static bool Read(JNIEnv *, Java j, Local &l) { return l = NarrowAddress(j), true; }
    static bool ReadCell(JNIEnv *, Java, Local &) { return true; }
    static void *Pass(Local &l) { return l; }
    static void Write(JNIEnv *, Java, Local) {}
    static constexpr const char *kUnusable = nullptr;
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &, bool) {
        TraceAdd(line, "0x%lx", TraceBits(std::get<I>(before)));
    }
};

struct Block {  // a JNI$Pointer, passed as its block address
    typedef jobject Java;
    typedef void *Local;
    static bool Read(JNIEnv *env, Java j, Local &l) {
        bool found = false;
        l = GetPointerValue(env, j, &found);
        return found;
    }
    static bool ReadCell(JNIEnv *, Java, Local &) { return true; }
    static BlockAddress Pass(Local &l) { return BlockAddress{l}; }
    static void Write(JNIEnv *, Java, Local) {}
    static constexpr const char *kUnusable = "a Pointer without \"p\"";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &, const L &, bool) {
        TracePointer(line, env, j);
    }
};

// A CK_MECHANISM block: also its mechanism type.
struct Mechanism : Block {
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &before, const L &, bool) {
        TracePointer(line, env, j);
        TraceMechanism(line, std::get<I>(before));
    }
};

// A CK_ATTRIBUTE template whose count is the next argument: also the
// attribute types.
struct Template : Block {
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &before, const L &, bool) {
        static_assert(std::is_same<typename std::tuple_element<I + 1, L>::type, CK_ULONG>::value,
                      "a template's count follows it");
        TracePointer(line, env, j);
        TraceTemplate(line, std::get<I>(before), std::get<I + 1>(before));
    }
};

// A PIN whose length is the next argument: shown as that length only.
struct Secret : Block {
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &, bool) {
        static_assert(std::is_same<typename std::tuple_element<I + 1, L>::type, CK_ULONG>::value,
                      "a PIN's length follows it");
        TraceAdd(line, "<PIN, %lu bytes>", static_cast<unsigned long>(std::get<I + 1>(before)));
    }
};

struct InOut {  // a long[] cell read before the call and written after it
    typedef jlongArray Java;
    typedef CK_ULONG Local;
    static bool Read(JNIEnv *, Java, Local &) { return true; }
    static bool ReadCell(JNIEnv *env, Java j, Local &l) {
        jlong value = 0;
        bool usable = ReadLongCell(env, j, &value);
        l = NarrowUlong(value);
        return usable;
    }
    static CK_ULONG *Pass(Local &l) { return &l; }
    static void Write(JNIEnv *env, Java j, Local l) { WriteLongCell(env, j, WidenUlong(l)); }
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &after, bool called) {
        TraceCell(line, true, std::get<I>(before), called, std::get<I>(after));
    }
};

struct Out {  // a long[] cell only written; its local starts as CK_INVALID_HANDLE
    typedef jlongArray Java;
    typedef CK_ULONG Local;
    static bool Read(JNIEnv *, Java, Local &) { return true; }
    static bool ReadCell(JNIEnv *env, Java j, Local &l) {
        l = CK_INVALID_HANDLE;
        return CellUsable(env, j);
    }
    static CK_ULONG *Pass(Local &l) { return &l; }
    static void Write(JNIEnv *env, Java j, Local l) { WriteLongCell(env, j, WidenUlong(l)); }
    static constexpr const char *kUnusable = "a null or empty cell";
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &before, const L &after, bool called) {
        TraceCell(line, false, std::get<I>(before), called, std::get<I>(after));
    }
};

// Something a native does after its module call, with its first argument:
// ending the notification contexts of the sessions it closed.
struct NothingAfter {
    template <typename First>
    static void Run(JNIEnv *, TokenModule *, First) {}
};
template <void (*End)(JNIEnv *, TokenModule *, jlong)>
struct EndContextsAfter {
    static void Run(JNIEnv *env, TokenModule *module, jlong first) { End(env, module, first); }
};

template <auto Entry, typename After, typename... K>
struct TokenNative {
    typedef std::tuple<typename K::Java...> Args;
    typedef std::tuple<typename K::Local...> Locals;

    // The call's line: each argument as its kind shows it, the one that
    // could not be used in its place.
    template <size_t... I>
    static void Trace(std::index_sequence<I...>, const TokenTrace &call, JNIEnv *env,
                      const Args &args, const Locals &before, const Locals &after) {
        TraceLine line;
        TraceTokenBegin(&line, call);
        bool called = call.outcome == kTokenCalled;
        ((TraceTokenArgument(&line, I, call.unusable, K::kUnusable) ||
          (K::template Trace<I>(&line, env, std::get<I>(args), before, after, called), true)),
         ...);
        TraceTokenEnd(&line, call);
    }

    // Traced or not, the same steps; the untraced instantiation has none
    // of the trace's bookkeeping (no copy of the locals, no clock).
    template <bool Traced, size_t... I>
    static jlong Run(std::index_sequence<I...> indices, const char *name, JNIEnv *env,
                     jlong handle, typename K::Java... java) {
        Args args(java...);
        Locals locals{};
        unsigned unusable = 0;  // bit I: argument I cannot be passed
        // Folds over the comma operator run left to right: argument order.
        ((unusable |= K::Read(env, std::get<I>(args), std::get<I>(locals)) ? 0u : 1u << I), ...);
        ((unusable |= K::ReadCell(env, std::get<I>(args), std::get<I>(locals)) ? 0u : 1u << I), ...);
        Locals before;
        if constexpr (Traced) before = locals;
        TokenTrace call{name, handle, unusable, kTokenNotLive, CKR_NO_FUNCTION, 0};
        TokenModule *module = EnterModule(env, handle);
        if (module != nullptr) {
            auto function = module->functions->*Entry;
            call.rv = function == nullptr ? CKR_NO_FUNCTION : CKR_ARGUMENTS_BAD;
            bool calls = function != nullptr && unusable == 0;
            if constexpr (Traced)
                call.outcome = function == nullptr ? kTokenNoEntry : calls ? kTokenCalled : kTokenRefused;
            if (calls) {
                uint64_t started = Traced ? TraceClock() : 0;
                call.rv = function(K::Pass(std::get<I>(locals))...);
                if constexpr (Traced) call.took = TraceClock() - started;
                (K::Write(env, std::get<I>(args), std::get<I>(locals)), ...);
                After::Run(env, module, std::get<0>(args));
            }
            LeaveModule(env, module);
        }
        if constexpr (Traced) Trace(indices, call, env, args, before, locals);
        return WidenUlong(call.rv);
    }

    // Out of line, so that the line buffer and its stack guard stay out of
    // the untraced native.
    __attribute__((noinline, cold)) static jlong CallTraced(const char *name, JNIEnv *env, jlong handle,
                                                            typename K::Java... java) {
        return Run<true>(std::index_sequence_for<K...>(), name, env, handle, java...);
    }

    static jlong Call(const char *name, JNIEnv *env, jlong handle, typename K::Java... java) {
        if (TraceOn()) return CallTraced(name, env, handle, java...);
        return Run<false>(std::index_sequence_for<K...>(), name, env, handle, java...);
    }
};

/*
 * ORV_TOKEN_NATIVE(Sign, Ulong, Block, Ulong, Block, InOut) defines the
 * exported Java_Orvalith_Base_JNI_c_1Sign with one Java parameter per kind,
 * calling C_Sign.  The export stays an ordinary extern "C" function with
 * its exact JNI signature, as the Windows build's stdcall names need.
 */
#define ORV_TOKEN_NATIVE_AFTER(Name, After, ...)                                              \
    extern "C" JNIEXPORT jlong JNICALL Java_Orvalith_Base_JNI_c_1##Name(                       \
        JNIEnv *env, jclass, jlong module, ORV_JAVA_PARAMS(__VA_ARGS__)) {                         \
        return TokenNative<&CK_FUNCTION_LIST::C_##Name, After, __VA_ARGS__>::Call(                 \
            "c_" #Name, env, module, ORV_JAVA_ARGS(__VA_ARGS__));                                  \
    }
#define ORV_TOKEN_NATIVE(Name, ...) ORV_TOKEN_NATIVE_AFTER(Name, NothingAfter, __VA_ARGS__)

#endif
