// OID functions (registering, unregistering, installing) and the
// localized names of stores and other CryptoAPI names.
#if defined(_WIN32)
#include "windows/conventions_extra.h"
#include "windows/crypt32_callbacks.h"

#include <wchar.h>

// Function and OID names are ANSI to the platform, the DLL's path UTF-16;
// a null string is NULL.
ORV_WIN_NATIVE(cryptRegisterOIDFunction, CryptRegisterOIDFunction, BoolResult,
               DwordArg, AnsiArg, AnsiArg, WideArg, AnsiArg)

ORV_WIN_NATIVE(cryptUnregisterOIDFunction, CryptUnregisterOIDFunction, BoolResult,
               DwordArg, AnsiArg, AnsiArg)

static_assert(sizeof(CRYPT_OID_FUNC_ENTRY) == 8, "OID function entry of the 32-bit platform");

// Java fills the entries' OID fields; the function of every entry becomes
// the stub of the entries' function set, the only kind of function Java
// code can have installed (it cannot hand out a native function of its
// own).  The entries keep the stub's address after the call.
//
// Refused before anything is written: a negative count; a count of
// entries with no block to hold them; a count whose entries do not fit in
// a block the registry knows; and entries for a set this library has no
// stub for, since a stub that pops another number of arguments than
// crypt32 pushes would wreck the caller's stack.  Installing no entries
// writes nothing and goes to the platform for any set.
static const char kInstall[] = "cryptInstallOIDFunctionAddress";

static jboolean RefuseInstall(const char *why) {
    jboolean answer = RefuseBool();
    if (TraceOn()) TraceWinRefusal(kInstall, why);
    return answer;
}

static void TraceInstall(JNIEnv *env, jlong hModule, jint encodingType, const char *name, DWORD count,
                         jobject entries, jint flags, BOOL ok, DWORD error, uint64_t took) {
    TraceLine line;
    TraceWinBegin(&line, kInstall);
    TraceAdd(&line, "0x%lx, 0x%lx, ", static_cast<unsigned long>(static_cast<uint32_t>(hModule)),
             static_cast<unsigned long>(static_cast<DWORD>(encodingType)));
    TraceQuoted(&line, name);
    TraceAdd(&line, ", 0x%lx, ", static_cast<unsigned long>(count));
    TracePointer(&line, env, entries);
    TraceAdd(&line, ", 0x%lx) = ", static_cast<unsigned long>(static_cast<DWORD>(flags)));
    TraceBoolAnswer(&line, ok, error);
    TraceWinEnd(&line, WinTrace{kInstall, kWinCalled, 0, nullptr, error, took});
}

extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
    JNIEnv *env, jclass, jlong hModule, jint encodingType, jstring funcName, jint entryCount,
    jobject entries, jint flags) {
    void *block = nullptr;
    char *name = nullptr;
    if (entryCount < 0) return RefuseInstall("a negative entry count");
    if (!ReadBlock(env, entries, &block)) return RefuseInstall("an entries Pointer without \"p\"");
    DWORD count = static_cast<DWORD>(entryCount);
    if (count != 0 && block == nullptr) return RefuseInstall("entries without a block");
    if (count != 0 && !FitsBlock(block, count, sizeof(CRYPT_OID_FUNC_ENTRY))) {
        jboolean answer = RefuseBool();
        if (TraceOn()) TraceBoundsRefusal(kInstall, "the entries", block, count, sizeof(CRYPT_OID_FUNC_ENTRY));
        return answer;
    }
    if (!TakeAnsiText(env, funcName, &name)) return RefuseInstall("a set name that could not be converted");
    void *stub = name != nullptr ? OidFunctionStubFor(name) : nullptr;
    if (count != 0 && stub == nullptr) {
        ReleaseAnsiText(&name);
        return RefuseInstall("a function set without a stub");
    }
    CRYPT_OID_FUNC_ENTRY *entry = static_cast<CRYPT_OID_FUNC_ENTRY *>(block);
    for (DWORD i = 0; i < count; i++) entry[i].pvFuncAddr = stub;
    bool traced = TraceOn();
    uint64_t started = traced ? TraceClock() : 0;
    BOOL ok = CryptInstallOIDFunctionAddress(HandleIn(hModule), static_cast<DWORD>(encodingType),
                                             name, count, entry, static_cast<DWORD>(flags));
    DWORD error = GetLastError();
    if (traced)
        TraceInstall(env, hModule, encodingType, name, count, entries, flags, ok, error,
                     TraceClock() - started);
    ReleaseAnsiText(&name);
    SetLastError(error);
    return BoolOut(ok);
}

// The platform's string is its own and is not released.  A name the
// platform knows no localized form of comes back as null.
static const char kLocalized[] = "cryptFindLocalizedName";

extern "C" JNIEXPORT jstring JNICALL Java_Orvalith_Base_JNI_cryptFindLocalizedName(
    JNIEnv *env, jclass, jstring cryptName) {
    WideText name;
    if (!TakeWideText(env, cryptName, false, &name)) {
        if (TraceOn()) TraceDecision(kLocalized, "refused: a string the VM could not supply = null");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool traced = TraceOn();
    uint64_t started = traced ? TraceClock() : 0;
    LPCWSTR localized = CryptFindLocalizedName(name.text);
    DWORD error = GetLastError();
    if (traced) {
        TraceLine line;
        TraceWinBegin(&line, kLocalized);
        TraceWideText(&line, name.text);
        TraceAdd(&line, ") = ");
        TraceWideText(&line, localized);
        TraceWinEnd(&line, WinTrace{kLocalized, kWinCalled, 0, nullptr, error, TraceClock() - started});
    }
    ReleaseWideText(env, &name);
    jstring result = nullptr;
    if (localized != nullptr)
        result = env->NewString(reinterpret_cast<const jchar *>(localized),
                                static_cast<jsize>(wcslen(localized)));
    SetLastError(error);
    return result;
}

#endif
