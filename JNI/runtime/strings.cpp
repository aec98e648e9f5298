// Java strings to native NUL-terminated strings and back: modified UTF-8 on
// the POSIX builds, the ANSI code page on Windows.
#include <stdlib.h>
#include <string.h>

#include "runtime/bridge.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if !defined(_WIN32)

// A block holding just the NUL: what a conversion that gives nothing yields.
static char *EmptyNativeString(JNIEnv *env) {
    char *block = static_cast<char *>(malloc(1));
    if (block == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    block[0] = '\0';
    return block;
}

char *jstringToWindows(JNIEnv *env, jstring s) {
    jsize n = env->GetStringUTFLength(s);
    const char *bytes = env->GetStringUTFChars(s, nullptr);
    if (bytes == nullptr) return EmptyNativeString(env);
    char *block = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (block != nullptr) {
        memcpy(block, bytes, static_cast<size_t>(n));
        block[n] = '\0';
    }
    env->ReleaseStringUTFChars(s, bytes);
    if (block == nullptr) ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
    return block;
}

jstring WindowsTojstring(JNIEnv *env, const char *s) {
    if (s == nullptr) return nullptr;
    return env->NewStringUTF(s);
}

#else

// A string the VM cannot supply gives no text at all: null, with the VM's
// OutOfMemoryError pending, so that the native stops instead of handing
// the platform an empty string in its place.  The platform is asked for
// the converted size first: where the ANSI code page is UTF-8 a character
// may take 3 bytes of one UTF-16 unit.  Characters the code page lacks
// become its default character; a conversion that fails gives the empty
// string.
char *jstringToWindows(JNIEnv *env, jstring s) {
    jsize n = env->GetStringLength(s);
    const jchar *units = env->GetStringChars(s, nullptr);
    if (units == nullptr) return nullptr;
    const LPCWCH wide = reinterpret_cast<LPCWCH>(units);
    int needed = n > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, n, nullptr, 0, nullptr, nullptr) : 0;
    if (needed < 0) needed = 0;
    char *block = static_cast<char *>(malloc(static_cast<size_t>(needed) + 1));
    if (block == nullptr) {
        env->ReleaseStringChars(s, units);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    int r = needed > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, n, block, needed, nullptr, nullptr) : 0;
    env->ReleaseStringChars(s, units);
    block[r >= 1 ? r : 0] = '\0';
    return block;
}

jstring WindowsTojstring(JNIEnv *env, const char *s) {
    if (s == nullptr) return nullptr;
    if (s[0] == '\0') return env->NewStringUTF(s);
    int len = static_cast<int>(strlen(s));
    int n = MultiByteToWideChar(CP_ACP, 0, s, len, nullptr, 0);
    if (n <= 0) return nullptr;
    WCHAR *units = static_cast<WCHAR *>(malloc(2 * static_cast<size_t>(n) + 1));
    if (units == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    int r = MultiByteToWideChar(CP_ACP, 0, s, len, units, n);
    jstring result = r >= 1 ? env->NewString(reinterpret_cast<const jchar *>(units), n) : nullptr;
    free(units);
    return result;
}

#endif
