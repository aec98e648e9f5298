// The token natives: modules loaded and unloaded in any order (also twice
// from one file, and a module found by name), c_Initialize with every kind
// of argument object, sessions opened with and without notification
// objects, the regular natives with any longs, blocks and cells, and the
// instrumented module scripted to answer anything, write outputs and
// notify during and after the calls; also handles that are not live
// (unloaded, made up).  Every answer must be the module's own (the one it
// recorded) or one the bridge gives when it does not call (CKR_NO_FUNCTION,
// CKR_ARGUMENTS_BAD); a handle that is not live calls nothing.  Half
// the inputs run with the call trace on (into /dev/null), some of them
// with the registry's events too, so that tracing meets the same hostile
// arguments, blocks and handles.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "harness.h"
#include "mock/mock_control.h"
#include "pkcs11/token_module.h"
#include "runtime/bridge.h"
#include "runtime/trace.h"
#include "../native/token_natives.h"

extern "C" {
jlong JNICALL Java_Orvalith_Base_JNI_loadExternalModule(JNIEnv *, jclass, jstring);
void JNICALL Java_Orvalith_Base_JNI_unloadExternalModule(JNIEnv *, jclass, jlong);
jobject JNICALL Java_Orvalith_Base_JNI_00024Pointer_getInstance__I(JNIEnv *, jclass, jint);
void JNICALL Java_Orvalith_Base_JNI_00024Pointer_free(JNIEnv *, jobject);
}

namespace {

using fuzz::Check;
using fuzz::Input;

// Arguments of one call, by position; each kind takes its own array.
struct Argv {
    jlong longs[10] = {};
    jobject objs[10] = {};
    jboolean bools[10] = {};
    jlongArray cells[10] = {};
};
template <typename K> struct Arg;
template <> struct Arg<U> { static jlong Get(const Argv &a, size_t i) { return a.longs[i]; } static const char code = 'U'; };
template <> struct Arg<R> { static jlong Get(const Argv &a, size_t i) { return a.longs[i]; } static const char code = 'R'; };
template <> struct Arg<P> { static jobject Get(const Argv &a, size_t i) { return a.objs[i]; } static const char code = 'P'; };
template <> struct Arg<B> { static jboolean Get(const Argv &a, size_t i) { return a.bools[i]; } static const char code = 'B'; };
template <> struct Arg<IO> { static jlongArray Get(const Argv &a, size_t i) { return a.cells[i]; } static const char code = 'C'; };
template <> struct Arg<O> { static jlongArray Get(const Argv &a, size_t i) { return a.cells[i]; } static const char code = 'O'; };

template <typename... K>
struct Caller {
    typedef jlong (*Native)(JNIEnv *, jclass, jlong, typename K::J...);
    template <size_t... I>
    static jlong Run(Native f, JNIEnv *env, jlong h, const Argv &a, std::index_sequence<I...>) {
        return f(env, nullptr, h, Arg<K>::Get(a, I)...);
    }
    static jlong Call(Native f, JNIEnv *env, jlong h, const Argv &a) {
        return Run(f, env, h, a, std::index_sequence_for<K...>());
    }
};

struct TokenEntry {
    const char *name;
    int entry;  // MOCK_C_*
    const char *kinds;
    jlong (*call)(JNIEnv *, jlong, const Argv &);
};

template <typename... K>
struct Codes {
    static constexpr char value[] = {Arg<K>::code..., 0};
};

#define FZ_ENTRY(Name, ...)                                                              \
    {#Name, MOCK_C_##Name, Codes<__VA_ARGS__>::value,                                   \
     [](JNIEnv *env, jlong h, const Argv &a) {                                          \
         return Caller<__VA_ARGS__>::Call(Java_Orvalith_Base_JNI_c_1##Name, env, h, a); \
     }},

const TokenEntry kNatives[] = {TOKEN_NATIVES(FZ_ENTRY)};
const unsigned kNativeCount = sizeof kNatives / sizeof kNatives[0];

const char *const kException = "java/lang/Exception";
const char *const kThrown = "fuzz/Thrown";

struct Loaded {
    jlong handle = 0;
    bool by_name = false;
};

struct State {
    fuzz::Vm v;
    Loaded modules[3];
    const MockControl *control[2] = {nullptr, nullptr};  // mockp11, mockp11_no_gfl
    jobject blocks[4] = {};  // registered blocks of 64 bytes
    jobject callback = nullptr;
    jobject application = nullptr;
    jlong callback_answer = 0;
    bool callback_throws = false;
    CK_SESSION_HANDLE sessions[4] = {};
    std::vector<jlong> stale;  // handles unloaded during this input
    bool faults = false;  // an allocation of the VM was made to fail
};

State *current;  // for the Java callback's body

const MockControl *ControlOf(const char *path) {
    void *library = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    MockControlFn fn = reinterpret_cast<MockControlFn>(dlsym(library, MOCK_CONTROL_SYMBOL));
    dlclose(library);
    return fn != nullptr ? fn() : nullptr;
}

void DefineClasses(fakejni::Vm *vm) {
    fakejni::define_class(vm, kThrown, "java/lang/Exception");
    fakejni::define_class(vm, "fuzz/Callback", "java/lang/Object", {},
                          {{"callback", "(JJLjava/lang/Object;)J", [](JNIEnv *env, jobject, const jvalue *) {
                                if (current->callback_throws) {
                                    jclass cls = env->FindClass(kThrown);
                                    env->ThrowNew(cls, "from the callback");
                                    env->DeleteLocalRef(cls);
                                }
                                return fakejni::jv_long(current->callback_answer);
                            }}});
    // A look-alike with no callback method, and one with the method of a
    // wrong signature.
    fakejni::define_class(vm, "fuzz/NoCallback");
    fakejni::define_class(vm, "fuzz/WrongCallback", "java/lang/Object", {},
                          {{"callback", "(JJ)J", {}}});
    fakejni::define_class(vm, "fuzz/NoP", "java/lang/Object", {{"size", "I"}});
    fakejni::define_class(vm, "fuzz/PlainArgs", "java/lang/Object",
                          {{"useMutexes", "Z"}, {"flags", "J"}, {"pReserved", "J"}});
}

const MockControl *AnyControl(State &st, Input &in) {
    const MockControl *c = st.control[in.Pick(2)];
    return c != nullptr ? c : st.control[0] != nullptr ? st.control[0] : st.control[1];
}

void RefreshControls(State &st) {
    st.control[0] = ControlOf(MOCK_MODULE);
    st.control[1] = ControlOf(MOCK_MODULE_NO_GFL);
}

void Load(State &st, Input &in) {
    Loaded *free_slot = nullptr;
    for (Loaded &m : st.modules)
        if (m.handle == 0) free_slot = &m;
    if (free_slot == nullptr) return;
    JNIEnv *env = st.v.env;
    unsigned which = in.Pick(5);
    const char *paths[] = {MOCK_MODULE, MOCK_MODULE_NO_GFL, "./no-such-module.so", "", nullptr};
    jstring path = paths[which] != nullptr ? env->NewStringUTF(paths[which]) : nullptr;
    jlong handle = Java_Orvalith_Base_JNI_loadExternalModule(env, nullptr, path);
    env->DeleteLocalRef(path);
    fuzz::TakeException(env, {kException, fuzz::kOutOfMemoryError});
    // A null path opens the program itself, which has no Cryptoki names.
    if (which >= 2) Check(handle == 0, "a load of a file that is no module answered a handle");
    if (handle == 0) return;
    bool fresh_library = (which == 0 ? st.control[0] : st.control[1]) == nullptr;
    free_slot->handle = handle;
    free_slot->by_name = which == 1;
    RefreshControls(st);
    if (fresh_library) {
        const MockControl *c = which == 0 ? st.control[0] : st.control[1];
        Check(c != nullptr, "a loaded module's control table");
        c->reset();
    }
}

void Unload(State &st, int index) {
    Loaded &m = st.modules[index];
    if (m.handle == 0) return;
    Java_Orvalith_Base_JNI_unloadExternalModule(st.v.env, nullptr, m.handle);
    st.stale.push_back(m.handle);
    m = Loaded();
    RefreshControls(st);
}

// A handle that is no longer live or never was: one unloaded earlier, one
// made up, or a live one a little off.  (A stale handle that equals a new
// record's address is that record's handle again.)
jlong DeadHandle(State &st, Input &in) {
    switch (in.Pick(3)) {
        case 0:
            if (!st.stale.empty()) return st.stale[in.Pick(static_cast<unsigned>(st.stale.size()))];
            return in.Long();
        case 1: {
            jlong live = st.modules[in.Pick(3)].handle;
            return live != 0 ? live + 1 + static_cast<jlong>(in.Pick(64)) : in.Long();
        }
        default: return in.Long();
    }
}

int LiveIndex(const State &st, jlong handle) {
    for (int i = 0; i < 3; i++)
        if (handle != 0 && st.modules[i].handle == handle) return i;
    return -1;
}

// What the modules recorded so far; a call through a dead handle adds
// nothing to either.
std::pair<int, int> Records(const State &st) {
    return {st.control[0] != nullptr ? st.control[0]->record_count() : -1,
            st.control[1] != nullptr ? st.control[1]->record_count() : -1};
}

// Unloading a dead handle does nothing: every live module stays loaded
// and nothing is called.
void UnloadDead(State &st, Input &in) {
    jlong handle = DeadHandle(st, in);
    int live = LiveIndex(st, handle);
    if (live >= 0) return Unload(st, live);
    const MockControl *before[2] = {st.control[0], st.control[1]};
    std::pair<int, int> records = Records(st);
    Java_Orvalith_Base_JNI_unloadExternalModule(st.v.env, nullptr, handle);
    Check(!fakejni::pending_exception(st.v.env).present, "unloading a dead handle raised");
    RefreshControls(st);
    Check(st.control[0] == before[0] && st.control[1] == before[1], "unloading a dead handle closed a library");
    Check(Records(st) == records, "unloading a dead handle called a module");
}

jlong PickHandle(State &st, Input &in) {
    unsigned i = in.Pick(6);
    if (i < 3) return st.modules[i].handle;  // live, or 0 for an empty slot
    if (i == 3) return 0;
    return DeadHandle(st, in);
}

const MockControl *ControlFor(State &st, jlong handle) {
    for (const Loaded &m : st.modules)
        if (m.handle == handle && handle != 0) return m.by_name ? st.control[1] : st.control[0];
    return nullptr;
}

jobject PickBlock(State &st, Input &in) {
    switch (in.Pick(6)) {
        case 0: return nullptr;                                         // p 0
        case 1: return fakejni::new_object(st.v.env, "fuzz/NoP");       // no "p"
        default: return st.v.env->NewLocalRef(st.blocks[in.Pick(4)]);
    }
}

jlongArray PickCell(State &st, Input &in) {
    switch (in.Pick(6)) {
        case 0: return nullptr;
        case 1: return fakejni::new_long_array(st.v.env, {});
        case 2: return fakejni::new_long_array(st.v.env, {in.Long(), in.Long()});
        default: return fakejni::new_long_array(st.v.env, {in.Long()});
    }
}

bool CellUsable(JNIEnv *env, jlongArray cell) { return cell != nullptr && env->GetArrayLength(cell) > 0; }

// Scripts the module: an answer, an output through a cell, a null entry,
// notifications at open and after close.
void Script(State &st, Input &in) {
    const MockControl *c = AnyControl(st, in);
    if (c == nullptr) return;
    int entry = static_cast<int>(in.Pick(MOCK_ENTRY_COUNT));
    switch (in.Pick(6)) {
        case 0: c->set_result(entry, static_cast<CK_RV>(in.Long())); break;
        case 1: c->set_result(entry, CKR_OK); break;
        case 2: c->set_out(entry, static_cast<int>(in.Pick(MOCK_MAX_ARGS)), static_cast<CK_ULONG>(in.Long())); break;
        case 3:
            // C_GetFunctionList's entry stays: the table is the module's own.
            if (entry != MOCK_C_GetFunctionList) c->set_entry_null(entry, in.Coin());
            break;
        case 4: c->set_open_notify(in.Coin(), static_cast<CK_NOTIFICATION>(in.Pick(2))); break;
        default: c->set_stale_notify(in.Coin()); break;
    }
}

void Notify(State &st, Input &in) {
    const MockControl *c = AnyControl(st, in);
    if (c == nullptr) return;
    CK_SESSION_HANDLE session = st.sessions[in.Pick(4)];
    c->notify(session, static_cast<CK_NOTIFICATION>(in.Pick(2)));
    // A notification outside any native: what the callback threw is the
    // bridge's to describe and clear.
    Check(!fakejni::pending_exception(st.v.env).present, "a notification left an exception pending");
}

void CheckAnswer(State &st, const MockControl *c, int entry, int records_before, jlong rv, bool called_expected,
                 std::pair<int, int> all_before) {
    if (c == nullptr) {
        Check(rv == static_cast<jlong>(CKR_NO_FUNCTION), "a call through a handle that is not live answered",
              std::to_string(rv));
        Check(Records(st) == all_before, "a call through a handle that is not live reached a module");
        return;
    }
    int records = c->record_count();
    if (records == records_before) {
        Check(rv == static_cast<jlong>(CKR_NO_FUNCTION) || rv == static_cast<jlong>(CKR_ARGUMENTS_BAD) ||
                  rv == static_cast<jlong>(CKR_HOST_MEMORY),
              "a call that did not reach the module answered", std::to_string(rv));
        // (A cell whose elements the VM could not hand out is unusable.)
        Check(!called_expected || st.faults || rv != static_cast<jlong>(CKR_ARGUMENTS_BAD),
              "usable arguments refused");
        return;
    }
    MockRecord last;
    Check(c->record_get(records - 1, &last) == 1, "the module's record");
    // Notifications during the call add no records; the last is the call.
    Check(last.entry == entry, "the module recorded another entry", c->entry_name(last.entry));
    Check(static_cast<uint64_t>(rv) == last.rv, "the answer is not the module's",
          std::to_string(rv) + " vs " + std::to_string(last.rv));
}

void CallToken(State &st, Input &in) {
    const TokenEntry &t = kNatives[in.Pick(kNativeCount)];
    JNIEnv *env = st.v.env;
    jlong handle = PickHandle(st, in);
    const MockControl *c = ControlFor(st, handle);
    Argv a;
    bool usable = true;
    std::vector<jobject> locals;
    for (size_t i = 0; t.kinds[i] != 0; i++) {
        switch (t.kinds[i]) {
            case 'U': case 'R': a.longs[i] = in.Long(); break;
            case 'B': a.bools[i] = in.Coin() ? JNI_TRUE : JNI_FALSE; break;
            case 'P':
                a.objs[i] = PickBlock(st, in);
                locals.push_back(a.objs[i]);
                if (a.objs[i] != nullptr && fakejni::class_name(st.v.vm, a.objs[i]) == "fuzz/NoP") usable = false;
                break;
            default:
                a.cells[i] = PickCell(st, in);
                locals.push_back(a.cells[i]);
                usable &= CellUsable(env, a.cells[i]);
                break;
        }
    }
    // Closing a session of ours ends its context; the module may then still
    // notify it (stale notifications), which must find nothing.
    int records_before = c != nullptr ? c->record_count() : 0;
    std::pair<int, int> all_before = Records(st);
    jlong rv = t.call(env, handle, a);
    bool raised = fuzz::TakeException(env, {kException, fuzz::kOutOfMemoryError});
    Check(!raised || fakejni::global_refs(st.v.vm) >= st.v.globals_at_start, "");
    CheckAnswer(st, c, t.entry, records_before, rv, usable, all_before);
    for (jobject o : locals) env->DeleteLocalRef(o);
}

void Initialize(State &st, Input &in) {
    JNIEnv *env = st.v.env;
    jlong handle = PickHandle(st, in);
    const MockControl *c = ControlFor(st, handle);
    jobject args = nullptr;
    switch (in.Pick(4)) {
        case 0: break;
        case 1: args = fakejni::new_object(env, "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS"); break;
        case 2: args = fakejni::new_object(env, "fuzz/PlainArgs"); break;
        default: args = fakejni::new_object(env, "fuzz/NoCallback"); break;  // no field at all
    }
    if (args != nullptr && fakejni::class_name(st.v.vm, args) != "fuzz/NoCallback") {
        fakejni::set_bool_field(st.v.vm, args, "useMutexes", in.Coin());
        fakejni::set_long_field(st.v.vm, args, "flags", in.Long());
        fakejni::set_long_field(st.v.vm, args, "pReserved", in.Long());
        if (fakejni::class_name(st.v.vm, args) != "fuzz/PlainArgs")
            fakejni::set_long_field(st.v.vm, args, "LibraryParams", in.Long());
    }
    // The module copies as many words of the record as it is told; never
    // more than the record the bridge builds for this object.
    if (c != nullptr) {
        bool nss = args != nullptr && fakejni::class_name(st.v.vm, args) == "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS";
        c->set_init_words(nss ? 7 : 6);
    }
    int records_before = c != nullptr ? c->record_count() : 0;
    std::pair<int, int> all_before = Records(st);
    jlong rv = Java_Orvalith_Base_JNI_c_1Initialize(env, nullptr, handle, args);
    fuzz::TakeException(env, {kException, "java/lang/NoSuchFieldError", fuzz::kOutOfMemoryError});
    CheckAnswer(st, c, MOCK_C_Initialize, records_before, rv, true, all_before);
    env->DeleteLocalRef(args);
}

void OpenSession(State &st, Input &in) {
    JNIEnv *env = st.v.env;
    jlong handle = PickHandle(st, in);
    const MockControl *c = ControlFor(st, handle);
    jobject callback = nullptr;
    switch (in.Pick(4)) {
        case 0: break;
        case 1: callback = fakejni::new_object(env, "fuzz/NoCallback"); break;
        case 2: callback = fakejni::new_object(env, "fuzz/WrongCallback"); break;
        default: callback = env->NewLocalRef(st.callback); break;
    }
    jobject application = in.Coin() ? env->NewLocalRef(st.application) : nullptr;
    st.callback_answer = in.Long();
    st.callback_throws = in.Pick(4) == 0;
    jlongArray cell = PickCell(st, in);
    bool usable = CellUsable(env, cell);
    jlong slot = in.Pick(3) == 0 ? in.Long() : 0;
    int records_before = c != nullptr ? c->record_count() : 0;
    std::pair<int, int> all_before = Records(st);
    jlong rv = Java_Orvalith_Base_JNI_c_1OpenSession(env, nullptr, handle, slot, in.Long(), application,
                                                     callback, cell);
    // What the callback threw during the open is the caller's to see.
    fuzz::TakeException(env, {kException, kThrown, fuzz::kOutOfMemoryError});
    CheckAnswer(st, c, MOCK_C_OpenSession, records_before, rv, usable, all_before);
    if (rv == CKR_OK && usable) st.sessions[in.Pick(4)] = NarrowUlong(fakejni::long_elements(st.v.vm, cell)[0]);
    env->DeleteLocalRef(cell);
    env->DeleteLocalRef(callback);
    env->DeleteLocalRef(application);
}

// The trace on or off for one input; the library reads the settings again.
void SetTrace(bool calls, bool blocks) {
    if (calls) setenv("ORVJNI_TRACE", "/dev/null", 1);
    else unsetenv("ORVJNI_TRACE");
    if (blocks) setenv("ORVJNI_TRACE_BLOCKS", "1", 1);
    else unsetenv("ORVJNI_TRACE_BLOCKS");
    TraceReset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    bool traced = in.Coin();
    SetTrace(traced, traced && in.Coin());
    State st;
    current = &st;
    fuzz::Begin(st.v);
    DefineClasses(st.v.vm);
    JNIEnv *env = st.v.env;
    if (in.Coin()) fakejni::set_copy_elements(st.v.vm, true);
    for (jobject &b : st.blocks) b = Java_Orvalith_Base_JNI_00024Pointer_getInstance__I(env, nullptr, 64);
    st.callback = fakejni::new_object(env, "fuzz/Callback");
    st.application = fakejni::new_object(env, "java/lang/Object");
    RefreshControls(st);
    // A library the loader kept mapped keeps its scripts: start clean.
    for (const MockControl *c : st.control)
        if (c != nullptr) c->reset();
    for (int step = 0; step < 40 && in.More(); step++) {
        switch (in.Pick(12)) {
            case 0: Load(st, in); break;
            case 1:
                if (in.Pick(4) == 0) UnloadDead(st, in);
                else Unload(st, static_cast<int>(in.Pick(3)));
                break;
            case 2: Initialize(st, in); break;
            case 3: case 4: OpenSession(st, in); break;
            case 5: case 6: Script(st, in); break;
            case 7: Notify(st, in); break;
            case 8:
                if (in.Pick(4) == 0) {
                    fakejni::fail_allocation(st.v.vm, fakejni::kAllocAny, 1 + in.Pick(4));
                    st.faults = true;
                    break;
                }
                [[fallthrough]];
            default: CallToken(st, in); break;
        }
    }
    fakejni::reset_faults(st.v.vm);
    // Every module goes, and with it every notification context (and the
    // global references it held).
    for (int i = 0; i < 3; i++) Unload(st, i);
    for (jobject b : st.blocks) {
        if (b != nullptr) Java_Orvalith_Base_JNI_00024Pointer_free(env, b);
        env->DeleteLocalRef(b);
    }
    env->DeleteLocalRef(st.callback);
    env->DeleteLocalRef(st.application);
    current = nullptr;
    fuzz::End(st.v);
    return 0;
}
