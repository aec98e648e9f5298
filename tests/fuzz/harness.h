// What every fuzz target shares: reading choices from the input bytes, a
// fresh stand-in VM per input, and the checks that follow every input (no
// violation recorded by the VM, no exception left pending, no element
// buffer or string left pinned, local and global references back where
// they started).  A failed check prints what it saw and aborts, which
// libFuzzer reports as a crash with the input that led to it.
#ifndef ORVJNI_FUZZ_HARNESS_H
#define ORVJNI_FUZZ_HARNESS_H

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "fakejni.h"

namespace fuzz {

// The input as a stream of choices; past its end every choice is 0.
struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    bool More() const { return at < size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    // One of n (n > 0).
    unsigned Pick(unsigned n) { return Byte() % n; }
    bool Coin() { return (Byte() & 1) != 0; }
    uint32_t U32();
    uint64_t U64();
    // A Java long: mostly the values that break conversions (0, -1, the
    // 32-bit and 64-bit edges), sometimes any 64 bits.
    jlong Long();
    // A Java int for a size or an offset: small, negative or the edges.
    jint Size();
    // Up to max_len UTF-16 units: ASCII, U+0000, unpaired and paired
    // surrogates, other BMP characters.
    std::u16string Text(size_t max_len = 24);
    std::vector<uint8_t> Bytes(size_t max_len = 32);
};

// A VM for one input; Begin makes it and points the bridge's jvm at it.
struct Vm {
    fakejni::Vm *vm = nullptr;
    JNIEnv *env = nullptr;
    size_t locals_at_start = 0;
    size_t globals_at_start = 0;
};
void Begin(Vm &v);
// Fails at once when the VM recorded a violation; `step` names the call.
void CheckNoViolation(Vm &v, const char *step);
// Runs the checks, then destroys the VM.
void End(Vm &v);

// Aborts with the message when the condition fails.
void Check(bool ok, const char *what, const std::string &detail = std::string());

// Clears a pending exception after checking that its class is one of
// `allowed`; true when there was one.
bool TakeException(JNIEnv *env, std::initializer_list<const char *> allowed);

// The exceptions any native may raise once the VM ran out of memory.
extern const char *const kOutOfMemoryError;

}  // namespace fuzz

#endif
