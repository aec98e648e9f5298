// What the CryptoAPI natives need from the system around them: the
// thread's last error, the version record, GUIDs and registry keys.
#if defined(_WIN32)
#include "windows/conventions.h"

#include <objbase.h>

// Nothing may run before GetLastError: the code belongs to the native the
// Java caller made before this one.
extern "C" JNIEXPORT jint JNICALL Java_Orvalith_Base_JNI_getLastError(JNIEnv *, jclass) {
    DWORD error = GetLastError();
    if (TraceOn()) {
        TraceLine line;
        TraceBegin(&line, "getLastError");
        TraceAdd(&line, "() = ");
        TraceWin32Code(&line, error);
        TraceEnd(&line);
        // A second call answers the same.
        SetLastError(error);
    }
    return static_cast<jint>(error);
}

// The record's first field, set by the caller, says which of the two
// version records the block holds.
ORV_WIN_NATIVE(getVersionEx, GetVersionExW, BoolResult, DataArg)

ORV_WIN_NATIVE(coCreateGuid, CoCreateGuid, HresultResult, DataArg)

// Root keys have bit 31 set: passed positive or sign-extended, the low 32
// bits are the same key.  The opened key comes back sign-extended.
ORV_WIN_NATIVE(regOpenKeyEx, RegOpenKeyExW, StatusResult,
               HandleArg, WideArg, DwordArg, DwordArg, KeyCellArg)

ORV_WIN_NATIVE(regCloseKey, RegCloseKey, StatusResult, HandleArg)

#endif
