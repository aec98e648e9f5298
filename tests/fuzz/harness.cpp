#include "harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orvjni.h"

// Allocations that cannot be made answer null instead of ending the run:
// the bridge is expected to report "Out of memory" then.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace fuzz {

const char *const kOutOfMemoryError = "java/lang/OutOfMemoryError";

uint32_t Input::U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = v << 8 | Byte();
    return v;
}

uint64_t Input::U64() { return static_cast<uint64_t>(U32()) << 32 | U32(); }

jlong Input::Long() {
    static const jlong kEdges[] = {0, 1, -1, 2, 0x7f, 0x80, 0xff, 0x7fffffffLL,
                                   0x80000000LL, 0xffffffffLL, 0x100000000LL,
                                   INT64_MAX, INT64_MIN, -0x80000000LL};
    unsigned choice = Pick(20);
    if (choice < sizeof kEdges / sizeof kEdges[0]) return kEdges[choice];
    if (choice < 18) return Byte();
    return static_cast<jlong>(U64());
}

jint Input::Size() {
    static const jint kEdges[] = {0, 1, 2, 3, 4, 7, 8, 15, 16, 64, -1, -2, INT32_MIN, INT32_MAX};
    unsigned choice = Pick(18);
    if (choice < sizeof kEdges / sizeof kEdges[0]) return kEdges[choice];
    return static_cast<jint>(Byte() % 80);
}

std::u16string Input::Text(size_t max_len) {
    std::u16string s;
    size_t n = Byte() % (max_len + 1);
    for (size_t i = 0; i < n; i++) {
        switch (Pick(8)) {
            case 0: s += u'\0'; break;
            case 1: s += static_cast<char16_t>(0xd800 + Byte()); break;  // lone high
            case 2: s += static_cast<char16_t>(0xdc00 + Byte()); break;  // lone low
            case 3: s += u"\xd83d\xde00"; break;                         // a pair
            case 4: s += static_cast<char16_t>(0x80 + Byte() * 7); break;
            case 5: s += static_cast<char16_t>(U32() & 0xffff); break;
            default: s += static_cast<char16_t>(0x20 + Byte() % 95); break;
        }
    }
    return s;
}

std::vector<uint8_t> Input::Bytes(size_t max_len) {
    std::vector<uint8_t> b(Byte() % (max_len + 1));
    for (uint8_t &x : b) x = Byte();
    return b;
}

void Check(bool ok, const char *what, const std::string &detail) {
    if (ok) return;
    fprintf(stderr, "fuzz check failed: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

bool TakeException(JNIEnv *env, std::initializer_list<const char *> allowed) {
    fakejni::PendingException e = fakejni::pending_exception(env);
    if (!e.present) return false;
    bool known = false;
    for (const char *name : allowed) known |= e.class_name == name;
    Check(known, "unexpected exception", e.class_name + ": " + e.message);
    fakejni::clear_exception(env);
    return true;
}

void Begin(Vm &v) {
    v.vm = fakejni::create_vm();
    v.env = fakejni::env(v.vm);
    jvm = fakejni::java_vm(v.vm);
    // Classes a real VM has that the stand-in does not predefine.
    fakejni::define_class(v.vm, "java/lang/NullPointerException", "java/lang/RuntimeException");
    v.locals_at_start = fakejni::local_refs(v.env);
    v.globals_at_start = fakejni::global_refs(v.vm);
}

void CheckNoViolation(Vm &v, const char *step) {
    std::string log;
    for (const std::string &line : fakejni::violations(v.vm)) log += line + "; ";
    Check(log.empty(), step, log);
}

void End(Vm &v) {
    fakejni::PendingException e = fakejni::pending_exception(v.env);
    Check(!e.present, "exception left pending", e.class_name + ": " + e.message);
    std::string log;
    for (const std::string &line : fakejni::violations(v.vm)) log += line + "; ";
    Check(log.empty(), "the VM recorded violations", log);
    Check(fakejni::outstanding_buffers(v.vm) == 0, "element buffers or characters left pinned",
          std::to_string(fakejni::outstanding_buffers(v.vm)));
    Check(fakejni::local_refs(v.env) == v.locals_at_start, "local references leaked",
          std::to_string(fakejni::local_refs(v.env)) + " vs " + std::to_string(v.locals_at_start));
    Check(fakejni::global_refs(v.vm) == v.globals_at_start, "global references leaked",
          std::to_string(fakejni::global_refs(v.vm)) + " vs " + std::to_string(v.globals_at_start));
    jvm = nullptr;
    fakejni::destroy_vm(v.vm);
    v = Vm();
}

}  // namespace fuzz
