// OID functions (registering, unregistering, installing) and the
// localized names of stores and other CryptoAPI names.
#if defined(_WIN32)
#include "windows/conventions_extra.h"
#include "windows/crypt32_callbacks.h"

#include <wchar.h>

extern "C" BOOL WINAPI OidFunctionStub(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) {
    return FALSE;
}

// Function and OID names are ANSI to the platform, the DLL's path UTF-16;
// a null string is NULL.
ORV_WIN_NATIVE(cryptRegisterOIDFunction, CryptRegisterOIDFunction, BoolResult,
               DwordArg, AnsiArg, AnsiArg, WideArg, AnsiArg)

ORV_WIN_NATIVE(cryptUnregisterOIDFunction, CryptUnregisterOIDFunction, BoolResult,
               DwordArg, AnsiArg, AnsiArg)

static_assert(sizeof(CRYPT_OID_FUNC_ENTRY) == 8, "OID function entry of the 32-bit platform");

// Java fills the entries' OID fields; the function of every entry becomes
// the stub, the only function Java code can have installed (it cannot hand
// out a native function of its own).  The entries keep the stub's address
// after the call.  A count of entries with no block to hold them is
// refused rather than written through NULL.
extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
    JNIEnv *env, jclass, jlong hModule, jint encodingType, jstring funcName, jint entryCount,
    jobject entries, jint flags) {
    void *block = nullptr;
    char *name = nullptr;
    DWORD count = static_cast<DWORD>(entryCount);
    if (!ReadBlock(env, entries, &block) || (count != 0 && block == nullptr) ||
        !TakeAnsiText(env, funcName, &name))
        return RefuseBool();
    CRYPT_OID_FUNC_ENTRY *entry = static_cast<CRYPT_OID_FUNC_ENTRY *>(block);
    for (DWORD i = 0; i < count; i++)
        entry[i].pvFuncAddr = reinterpret_cast<void *>(&OidFunctionStub);
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
