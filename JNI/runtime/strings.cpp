// Java strings to native NUL-terminated strings and back: modified UTF-8 on
// the POSIX builds, the ANSI code page on Windows.
#include <stdlib.h>
#include <string.h>

#include "runtime/bridge.h"

#if defined(_WIN32)
#include <windows.h>
#endif

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

#if !defined(_WIN32)

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

char *jstringToWindows(JNIEnv *env, jstring s) {
    jsize n = env->GetStringLength(s);
    const jchar *units = env->GetStringChars(s, nullptr);
    if (units == nullptr) return EmptyNativeString(env);
    char *block = static_cast<char *>(malloc(2 * static_cast<size_t>(n) + 1));
    if (block == nullptr) {
        env->ReleaseStringChars(s, units);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    // Room for 2n bytes of text keeps the last byte for the NUL; characters
    // the code page lacks become its default character.
    int r = n > 0 ? WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(units), n, block,
                                        2 * n, nullptr, nullptr)
                  : 0;
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
