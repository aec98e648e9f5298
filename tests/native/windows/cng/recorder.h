// The recording half of the suite's stand-in libraries.
#ifndef ORVJNI_CNG_RECORDER_H
#define ORVJNI_CNG_RECORDER_H

#include "recording.h"

#define DOUBLE_EXPORT extern "C" __declspec(dllexport)

// A call being recorded: parameters are added in order.
class Recorder {
public:
    explicit Recorder(const char *function);
    Recorder &Value(uintptr_t value);
    Recorder &Address(const void *address) { return Value(reinterpret_cast<uintptr_t>(address)); }
    Recorder &Text(const WCHAR *text);
    // An output parameter: its address, and what it pointed at on entry.
    template <typename T>
    Recorder &Output(T *out) {
        call_->in[call_->argc] = out != nullptr ? (uintptr_t)*out : 0;
        return Address(out);
    }

private:
    RecordedCall *call_;
};

// The script in force.
const Script &Scripted();

// Stores a scripted output, unless the script leaves outputs alone or the
// caller passed no place for it.
template <typename T, typename V>
void Fill(T *out, V value) {
    if (Scripted().fill && out != nullptr) *out = (T)value;
}

#endif
