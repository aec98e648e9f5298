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
extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
    JNIEnv *env, jclass, jlong hModule, jint encodingType, jstring funcName, jint entryCount,
    jobject entries, jint flags) {
    void *block = nullptr;
    char *name = nullptr;
    if (entryCount < 0 || !ReadBlock(env, entries, &block)) return RefuseBool();
    DWORD count = static_cast<DWORD>(entryCount);
    if (count != 0 && (block == nullptr || !FitsBlock(block, count, sizeof(CRYPT_OID_FUNC_ENTRY))))
        return RefuseBool();
    if (!TakeAnsiText(env, funcName, &name)) return RefuseBool();
    void *stub = name != nullptr ? OidFunctionStubFor(name) : nullptr;
    if (count != 0 && stub == nullptr) {
        ReleaseAnsiText(&name);
        return RefuseBool();
    }
    CRYPT_OID_FUNC_ENTRY *entry = static_cast<CRYPT_OID_FUNC_ENTRY *>(block);
    for (DWORD i = 0; i < count; i++) entry[i].pvFuncAddr = stub;
    BOOL ok = CryptInstallOIDFunctionAddress(HandleIn(hModule), static_cast<DWORD>(encodingType),
                                             name, count, entry, static_cast<DWORD>(flags));
    DWORD error = GetLastError();
    ReleaseAnsiText(&name);
    SetLastError(error);
    return BoolOut(ok);
}

// The platform's string is its own and is not released.  A name the
// platform knows no localized form of comes back as null.
extern "C" JNIEXPORT jstring JNICALL Java_Orvalith_Base_JNI_cryptFindLocalizedName(
    JNIEnv *env, jclass, jstring cryptName) {
    WideText name;
    if (!TakeWideText(env, cryptName, false, &name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    LPCWSTR localized = CryptFindLocalizedName(name.text);
    DWORD error = GetLastError();
    ReleaseWideText(env, &name);
    jstring result = nullptr;
    if (localized != nullptr)
        result = env->NewString(reinterpret_cast<const jchar *>(localized),
                                static_cast<jsize>(wcslen(localized)));
    SetLastError(error);
    return result;
}

#endif
