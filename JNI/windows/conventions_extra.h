/*
 * The argument kinds and results that the certificate-store, message and
 * certificate-key natives need beyond those of conventions.h, under the
 * same rules: an argument that cannot be used stops the native before the
 * platform is called, outputs are written after every call that was made,
 * and the platform's last error survives the bridge's own work.
 *
 *  - A certificate context comes back as a new JNI$Pointer over the
 *    platform's CERT_CONTEXT, "size" 20; no context is a Pointer with "p"
 *    0 and "size" -1, never a null reference (ORV_WIN_CONTEXT_NATIVE).
 *  - A context output argument (ContextOutArg): a null Pointer asks for
 *    no context (NULL to the platform); otherwise the platform writes a
 *    local that starts null, and the Pointer gets it with "size" 20.
 *  - Cells the platform only writes (NewDwordCellArg, FlagCellArg) start
 *    at 0; the cell is only checked for room.
 *
 * Windows build only.
 */
#ifndef ORVJNI_WINDOWS_CONVENTIONS_EXTRA_H
#define ORVJNI_WINDOWS_CONVENTIONS_EXTRA_H

#if defined(_WIN32)

#include "windows/conventions.h"

/* What Java sees as the "size" of a context Pointer: the CERT_CONTEXT
 * record of the 32-bit platform, five 32-bit fields. */
#define ORV_CERT_CONTEXT_SIZE 20
static_assert(sizeof(CERT_CONTEXT) == ORV_CERT_CONTEXT_SIZE, "CERT_CONTEXT of the 32-bit platform");

/* ---- Results ---------------------------------------------------------- */

/* The context a platform function answered, before it becomes a Pointer
 * (which needs the environment, so it is made after WinCall's steps). */
struct ContextAnswer {
    PCCERT_CONTEXT context;
};

struct ContextResult {
    typedef ContextAnswer Java;
    static Java From(PCCERT_CONTEXT context) { return ContextAnswer{context}; }
    static Java Refused() {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ContextAnswer{nullptr};
    }
    static void Trace(TraceLine *line, Java answer, DWORD error) {
        TraceAddressAnswer(line, answer.context, error);
    }
};

/* A new context Pointer (context, null, 20), or (0, null, -1) for none.
 * Made also while an exception is pending (a refused argument), which then
 * stays pending; the last error is kept.  Null only when the Pointer class
 * or its constructor is missing, after raising that. */
jobject ContextPointer(JNIEnv *env, PCCERT_CONTEXT context);

/* ---- Argument kinds ----------------------------------------------------- */

/* Pointer: where the platform stores a new context for the caller. */
struct ContextOutArg {
    typedef jobject Java;
    struct Local {
        bool wanted;
        PCCERT_CONTEXT context;
    };
    // The Pointer must be able to take the context, or the context the
    // platform makes would be lost: one without "p" is refused up front.
    static bool Read(JNIEnv *env, Java j, Local &l) {
        l = Local{j != nullptr, nullptr};
        void *unused = nullptr;
        return j == nullptr || ReadBlock(env, j, &unused);
    }
    static PCCERT_CONTEXT *Pass(Local &l) { return l.wanted ? &l.context : nullptr; }
    template <class A, class L>
    static void Write(JNIEnv *env, Java j, Local &l, const A &, L &) {
        if (l.wanted) SetPointerValue(env, j, l.context, ORV_CERT_CONTEXT_SIZE);
    }
    static void Release(JNIEnv *, Java, Local &) {}
    static constexpr const char *kUnusable = "a Pointer without \"p\"";
    // The context the platform wrote, as a cell would show it.
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *, Java, const L &, const L &after, bool called) {
        const Local &out = std::get<I>(after);
        if (!out.wanted) return TraceAdd(line, "null");
        if (called) return TraceAdd(line, "[-> 0x%lx]", TraceBits(out.context));
        TraceAdd(line, "[out]");
    }
};


/* ORV_WIN_CONTEXT_NATIVE(name, PlatformFunction, Kind...): as
 * ORV_WIN_NATIVE, for a platform function that answers a context; the
 * native answers the context Pointer. */
#define ORV_WIN_CONTEXT_NATIVE(Name, Entry, ...)                                               \
    extern "C" JNIEXPORT jobject JNICALL Java_Orvalith_Base_JNI_##Name(                         \
        JNIEnv *env, jclass,                                                                       \
        ORV_JAVA_PARAMS(__VA_ARGS__)) {                                                            \
        return ContextPointer(                                                                  \
            env, WinCall<ContextResult, __VA_ARGS__>::Call(                                     \
                     #Name, Entry, env, ORV_JAVA_ARGS(__VA_ARGS__))                                \
                     .context);                                                                 \
    }

#endif
#endif
