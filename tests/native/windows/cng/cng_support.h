// Helpers of the runtime-bound suites: the stand-in libraries and what
// they recorded, and the values a test hands the natives.
#ifndef ORVJNI_CNG_SUPPORT_H
#define ORVJNI_CNG_SUPPORT_H

#include <string>
#include <vector>

#include "cng_natives.h"
#include "recording.h"
#include "windows_support.h"

// The folder beside the test program that holds the suite's ncrypt.dll
// and cryptui.dll.  They are kept out of the program's own folder, where
// every Windows suite would find them first.
std::wstring DoublesDirectory();

// The value of WINEDLLOVERRIDES as the program got it, for messages.
std::string DllOverrides();

// The binding slots last as long as the process, so each suite needs a
// process set up for it alone: it runs where ORVJNI_CNG_PROCESS names it
// ("wine", "recording", "loading", "unavailable", "planted") and is skipped elsewhere.
bool ProcessIsFor(const char *suite);
#define CNG_SUITE_PROCESS(suite)                                                          \
    if (!ProcessIsFor(suite))                                                             \
    GTEST_SKIP() << "runs in a process of its own, with ORVJNI_CNG_PROCESS=" << (suite) \
                 << " (ctest -R cng_)"

// The control functions of a loaded stand-in library.
struct DoubleLibrary {
    HMODULE module = nullptr;
    DoubleScriptFn script = nullptr;
    DoubleResetFn reset = nullptr;
    DoubleCountFn count = nullptr;
    DoubleCallFn call = nullptr;

    // False when the module is not one of the suite's stand-ins.
    bool Attach(HMODULE m);
    // Every call kept since the last reset, oldest first.
    std::vector<RecordedCall> Calls() const;
};

// The string the index-th parameter pointed at.
std::u16string TextOf(const RecordedCall &call, unsigned index);

// A 32-bit value as Java hands it over in a long whose high half is set.
inline uintptr_t Low(jlong value) { return static_cast<uint32_t>(static_cast<uint64_t>(value)); }
inline uintptr_t AddressOf(const void *p) { return reinterpret_cast<uintptr_t>(p); }
// A 32-bit value sign-extended, as pointer-typed values reach Java.
inline jlong SignExtended(uint32_t value) { return static_cast<jlong>(static_cast<int32_t>(value)); }

// Whether any release of the cell's elements copied them back.
bool EverWritten(fakejni::Vm *vm, jarray cell);

#endif
