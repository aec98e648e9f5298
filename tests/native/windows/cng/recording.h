// What the suite's own ncrypt.dll and cryptui.dll keep of every call, and
// what they answer.  Both stand in for the system's libraries (Wine loads
// them instead of its own when told so through WINEDLLOVERRIDES) so that a
// test sees exactly which values a native handed to the function, and can
// script what comes back.  The control functions below are exported by
// both libraries under these names.
#ifndef ORVJNI_CNG_RECORDING_H
#define ORVJNI_CNG_RECORDING_H

#include <windows.h>
#include <stdint.h>

enum { kRecordedArgs = 8, kRecordedText = 64, kRecordedCalls = 64 };

struct RecordedCall {
    char function[40];
    unsigned argc;
    // Every parameter's 32 bits as the function received them.
    uintptr_t args[kRecordedArgs];
    // A wide-string parameter, copied during the call (the native gives
    // the characters back before the test can look).
    bool has_text[kRecordedArgs];
    WCHAR text[kRecordedArgs][kRecordedText];
    // What an output parameter pointed at when the function was entered.
    uintptr_t in[kRecordedArgs];
};

struct Script {
    LONG status;           // every SECURITY_STATUS
    BOOL result;           // every BOOL
    BOOL fill;             // FALSE: no output parameter is touched
    ULONG_PTR handles[2];  // stored through the handle outputs, in order
    DWORD count;           // through the result-size output
    HANDLE event;          // through the event handle
    BOOL changed;          // through the properties-changed flag
    uintptr_t context;     // the certificate context a selection returns
};

typedef void(WINAPI *DoubleScriptFn)(const Script *script);
typedef void(WINAPI *DoubleResetFn)(void);
typedef unsigned(WINAPI *DoubleCountFn)(void);
// The index-th call since the last reset (oldest first); FALSE past the end
// or once older calls have been overwritten.
typedef BOOL(WINAPI *DoubleCallFn)(unsigned index, RecordedCall *call);

#endif
