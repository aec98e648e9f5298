// The JNI$Pointer natives and the block registry: blocks of every kind
// (allocated, pinned byte[]/int[]/long[] with and without offset, strings
// both ways), views of memory nobody registered, aliases sharing a block
// with any "o" or none, look-alike objects lacking "p", "o" or "size",
// rewritten "size" and "p", the VM running out of memory at a chosen
// allocation; and the exported plist_ functions on a registry of the
// caller's own.
#include <string.h>

#include "harness.h"
#include "pointer/registry.h"
#include "runtime/bridge.h"

extern "C" {
#define P(name) JNICALL Java_Orvalith_Base_JNI_00024Pointer_##name
jobject P(getInstance___3I)(JNIEnv *, jclass, jintArray);
jobject P(getInstance___3J)(JNIEnv *, jclass, jlongArray);
jobject P(getInstance___3B)(JNIEnv *, jclass, jbyteArray);
jobject P(getInstance___3BI)(JNIEnv *, jclass, jbyteArray, jint);
jobject P(getInstance__I)(JNIEnv *, jclass, jint);
jobject P(getInstance__Ljava_lang_String_2Z)(JNIEnv *, jclass, jstring, jboolean);
void P(addReference)(JNIEnv *, jobject);
void P(free)(JNIEnv *, jobject);
jbyteArray P(getContent)(JNIEnv *, jobject);
jstring P(getContentAsString)(JNIEnv *, jobject, jboolean);
void P(copy)(JNIEnv *, jclass, jbyteArray, jint, jobject, jint, jint);
jlongArray P(getNativeArrayAsLongs)(JNIEnv *, jobject);
#undef P
}

namespace {

using fuzz::Check;
using fuzz::Input;

const char *const kException = "java/lang/Exception";
const char *const kBounds = "java/lang/ArrayIndexOutOfBoundsException";
const char *const kNull = "java/lang/NullPointerException";
const char *const kNegative = "java/lang/NegativeArraySizeException";
const char *const kNoField = "java/lang/NoSuchFieldError";

// What an object in a slot is, as far as the harness knows.
enum Shape { kPointer, kLookAlike, kNoP, kNoO, kNoSize };
struct Held {
    jobject obj = nullptr;
    Shape shape = kPointer;
    bool view = false;          // p is harness memory nobody registered
    size_t view_length = 0;
};

const int kSlots = 8;
// Views: memory of the harness's own, each with a terminator at its end.
alignas(8) char view_memory[2][64];

// Every block the harness made, with the fields it was born with, so that
// whatever the input did to the objects, the block can be given back.
struct Made {
    jobject obj;
    jlong p;
    jobject o;
};

struct State {
    fuzz::Vm v;
    Held slots[kSlots];
    std::vector<Made> made;
    bool oom_armed = false;  // an allocation of the VM is to fail
    plist own;               // a registry of "other native code"
    int own_blocks[4];
};

void DefineClasses(fakejni::Vm *vm) {
    fakejni::define_class(vm, "fuzz/LookAlike", "java/lang/Object",
                          {{"p", "J"}, {"o", "Ljava/lang/Object;"}, {"size", "I"}});
    fakejni::define_class(vm, "fuzz/NoP", "java/lang/Object", {{"o", "Ljava/lang/Object;"}, {"size", "I"}});
    fakejni::define_class(vm, "fuzz/NoO", "java/lang/Object", {{"p", "J"}, {"size", "I"}});
    fakejni::define_class(vm, "fuzz/NoSize", "java/lang/Object", {{"p", "J"}, {"o", "Ljava/lang/Object;"}});
}

bool Has(Shape s, const char *field) {
    if (!strcmp(field, "p")) return s != kNoP;
    if (!strcmp(field, "o")) return s != kNoO;
    return s != kNoSize;
}

jlong FieldP(State &st, const Held &h) { return Has(h.shape, "p") ? fakejni::long_field(st.v.vm, h.obj, "p") : -1; }
jint FieldSize(State &st, const Held &h) {
    return Has(h.shape, "size") ? fakejni::int_field(st.v.vm, h.obj, "size") : -1;
}

void Put(State &st, int slot, jobject obj, Shape shape = kPointer) {
    Held &h = st.slots[slot];
    // A slot's previous object stays alive only as long as the bridge keeps
    // it; the harness frees its block at the end through another holder
    // when there is one, so blocks are tracked by the registry, not here.
    if (h.obj != nullptr) st.v.env->DeleteLocalRef(h.obj);
    h = Held();
    h.obj = obj;
    h.shape = shape;
}

// Whatever may be raised by a native: its own exceptions, the VM's when an
// allocation fails, the missing-field report for look-alikes.
bool Raised(State &st) {
    return fuzz::TakeException(st.v.env,
                               {kException, kBounds, kNull, kNegative, kNoField, fuzz::kOutOfMemoryError});
}

void CheckFresh(State &st, jobject obj, size_t expect_size, bool expect_array) {
    if (obj == nullptr) {
        Check(Raised(st), "getInstance answered null without raising");
        return;
    }
    Check(!fakejni::pending_exception(st.v.env).present, "getInstance answered and raised");
    jlong p = fakejni::long_field(st.v.vm, obj, "p");
    Check(p != 0, "a new block at address 0");
    Check(fakejni::int_field(st.v.vm, obj, "size") == static_cast<jint>(expect_size), "size of a new block");
    jobject o = fakejni::object_field(st.v.env, obj, "o");
    Check((o != nullptr) == expect_array, "o of a new block");
    st.v.env->DeleteLocalRef(o);
    BlockRecord facts;
    Check(RegistryLookup(NarrowAddress(p), &facts), "a new block is registered");
    Check(facts.length == expect_size, "registered length");
}

void NewBlock(State &st, Input &in, int slot) {
    JNIEnv *env = st.v.env;
    jobject obj = nullptr;
    switch (in.Pick(6)) {
        case 0: {
            jint size = in.Size();
            // Gigabyte blocks cost the run dearly (the sanitizer writes a
            // shadow of a quarter gigabyte for each); a megabyte is made
            // instead.  (The native suite has the allocation that fails.)
            if (size == INT32_MAX) size = 1 << 20;
            obj = Java_Orvalith_Base_JNI_00024Pointer_getInstance__I(env, nullptr, size);
            if (size < 0) Check(obj == nullptr, "a block of negative size");
            if (obj == nullptr) {
                Check(Raised(st), "getInstance(int) answered null without raising");
                return;
            }
            CheckFresh(st, obj, static_cast<size_t>(size), false);
            if (size > 4096) {
                // A block of gigabytes is made and given back at once: read
                // whole, it would take the run's memory.
                Java_Orvalith_Base_JNI_00024Pointer_free(env, obj);
                Check(!RegistryKnows(NarrowAddress(0)) && fakejni::long_field(st.v.vm, obj, "p") == 0,
                      "free of a large block");
                env->DeleteLocalRef(obj);
                return;
            }
            break;
        }
        case 1:
        case 2:
        case 3: {
            unsigned kind = in.Pick(3);
            jint n = in.Byte() % 12;
            bool null_array = in.Pick(16) == 0;
            jint offset = kind == 0 && in.Coin() ? in.Size() : 0;
            jarray array = nullptr;
            size_t element = kind == 0 ? 1 : kind == 1 ? 4 : 8;
            if (!null_array) {
                if (kind == 0) array = fakejni::new_byte_array(env, std::vector<jbyte>(n, 'a'));
                if (kind == 1) array = fakejni::new_int_array(env, std::vector<jint>(n, 7));
                if (kind == 2) array = fakejni::new_long_array(env, std::vector<jlong>(n, 9));
            }
            if (kind == 0 && offset != 0)
                obj = Java_Orvalith_Base_JNI_00024Pointer_getInstance___3BI(env, nullptr,
                                                                           static_cast<jbyteArray>(array), offset);
            else if (kind == 0)
                obj = Java_Orvalith_Base_JNI_00024Pointer_getInstance___3B(env, nullptr, static_cast<jbyteArray>(array));
            else if (kind == 1)
                obj = Java_Orvalith_Base_JNI_00024Pointer_getInstance___3I(env, nullptr, static_cast<jintArray>(array));
            else
                obj = Java_Orvalith_Base_JNI_00024Pointer_getInstance___3J(env, nullptr, static_cast<jlongArray>(array));
            bool bad = null_array || offset < 0 || offset > n;
            if (bad) Check(obj == nullptr, "getInstance of a null array or a bad offset answered");
            if (obj != nullptr) CheckFresh(st, obj, static_cast<size_t>(n - offset) * element, true);
            else Check(Raised(st), "getInstance(array) answered null without raising");
            env->DeleteLocalRef(array);
            break;
        }
        case 4: {
            bool null_string = in.Pick(8) == 0;
            std::u16string text = in.Text();
            jboolean unicode = in.Coin() ? JNI_TRUE : JNI_FALSE;
            jstring s = null_string ? nullptr : fakejni::new_string(env, text);
            obj = Java_Orvalith_Base_JNI_00024Pointer_getInstance__Ljava_lang_String_2Z(env, nullptr, s, unicode);
            env->DeleteLocalRef(s);
            if (obj == nullptr) {
                Check(Raised(st), "getInstance(String) answered null without raising");
                return;
            }
            jlong p = fakejni::long_field(st.v.vm, obj, "p");
            if (null_string) {
                Check(p == 0 && fakejni::int_field(st.v.vm, obj, "size") == 0, "a null string's block");
                break;
            }
            // The text up to its first U+0000 (16-bit units) or in modified
            // UTF-8 (where U+0000 is two bytes and ends nothing), terminated.
            size_t size = static_cast<size_t>(fakejni::int_field(st.v.vm, obj, "size"));
            if (unicode) {
                size_t k = 0;
                while (k < text.size() && text[k] != 0) k++;
                Check(size == 2 * k + 2, "size of a UTF-16 copy");
                Check(memcmp(NarrowAddress(p), text.data(), 2 * k) == 0, "a UTF-16 copy's units");
                Check(static_cast<const char16_t *>(NarrowAddress(p))[k] == 0, "a UTF-16 copy's terminator");
            } else {
                std::string bytes = fakejni::to_modified_utf8(text);
                Check(size == bytes.size() + 1, "size of a modified UTF-8 copy", std::to_string(size));
                Check(memcmp(NarrowAddress(p), bytes.c_str(), bytes.size() + 1) == 0, "a modified UTF-8 copy");
            }
            break;
        }
        default: {
            // A view, or an object of another shape with some fields.
            unsigned which = in.Pick(5);
            const char *classes[] = {ORV_POINTER_CLASS, "fuzz/LookAlike", "fuzz/NoP", "fuzz/NoO", "fuzz/NoSize"};
            Shape shapes[] = {kPointer, kLookAlike, kNoP, kNoO, kNoSize};
            obj = fakejni::new_object(env, classes[which]);
            Put(st, slot, obj, shapes[which]);
            Held &h = st.slots[slot];
            bool view = in.Coin();
            char *memory = view_memory[in.Pick(2)];
            size_t length = in.Byte() % sizeof view_memory[0];
            if (Has(h.shape, "p")) fakejni::set_long_field(st.v.vm, obj, "p", view ? WidenAddress(memory) : 0);
            if (Has(h.shape, "size")) fakejni::set_int_field(st.v.vm, obj, "size", static_cast<jint>(length));
            h.view = view;
            h.view_length = length;
            return;
        }
    }
    if (obj == nullptr) return;
    Put(st, slot, obj);
    JNIEnv *e = st.v.env;
    st.made.push_back({e->NewLocalRef(obj), fakejni::long_field(st.v.vm, obj, "p"),
                       fakejni::object_field(e, obj, "o")});
}

// An alias: a second object for the same block, as Java makes one with the
// (p, o, size) constructor followed by addReference.  Its "o" is the
// block's, null or an array of its own; or it is a look-alike of another
// class, with or without "o".  Whichever holder frees last, the block goes
// back as it was registered.
void Alias(State &st, Input &in, int from, int to) {
    Held src = st.slots[from];
    if (src.obj == nullptr || src.shape != kPointer) return;
    JNIEnv *env = st.v.env;
    unsigned how = in.Pick(5);
    const char *cls = how == 3 ? "fuzz/LookAlike" : how == 4 ? "fuzz/NoO" : ORV_POINTER_CLASS;
    Shape shape = how == 3 ? kLookAlike : how == 4 ? kNoO : kPointer;
    jobject alias = fakejni::new_object(env, cls);
    fakejni::set_long_field(st.v.vm, alias, "p", fakejni::long_field(st.v.vm, src.obj, "p"));
    fakejni::set_int_field(st.v.vm, alias, "size", fakejni::int_field(st.v.vm, src.obj, "size"));
    if (shape != kNoO) {
        jobject o = nullptr;
        if (how == 0 || how == 3) o = fakejni::object_field(env, src.obj, "o");
        if (how == 2) o = fakejni::new_int_array(env, std::vector<jint>(1 + in.Pick(4), 3));
        fakejni::set_object_field(st.v.vm, alias, "o", o);
        env->DeleteLocalRef(o);
    }
    Java_Orvalith_Base_JNI_00024Pointer_addReference(env, alias);
    Check(!Raised(st), "addReference of an alias raised");
    Put(st, to, alias, shape);
    st.slots[to].view = src.view;
    st.slots[to].view_length = src.view_length;
}

void Free(State &st, int slot) {
    Held &h = st.slots[slot];
    if (h.obj == nullptr) return;
    jlong before = FieldP(st, h);
    void *p = NarrowAddress(before);
    bool registered = Has(h.shape, "p") && p != nullptr && RegistryKnows(p);
    size_t count = RegistryCount();
    Java_Orvalith_Base_JNI_00024Pointer_free(st.v.env, h.obj);
    bool raised = Raised(st);
    if (!registered || h.shape == kNoO) {
        // An object without "o" is no Pointer: it keeps its reference.
        Check(RegistryCount() == count && (!registered || RegistryKnows(p)),
              "a free of an unregistered address or of an object without o changed the registry");
        Check(h.shape != kNoO || raised, "a free of an object without o raised nothing");
        Check(!Has(h.shape, "p") || FieldP(st, h) == before, "a free that released nothing changed p");
        return;
    }
    if (!RegistryKnows(p)) {  // that was the last reference
        Check(FieldP(st, h) == 0 || raised, "the last free left p");
        Check(FieldSize(st, h) == -1 || !Has(h.shape, "size") || raised, "the last free left size");
    } else {
        Check(FieldP(st, h) == before, "a free that was not the last changed p");
    }
}

void Read(State &st, Input &in, int slot) {
    Held &h = st.slots[slot];
    JNIEnv *env = st.v.env;
    // An instance native always has its object.
    if (h.obj == nullptr) return;
    bool null_object = false;
    void *p = null_object ? nullptr : NarrowAddress(FieldP(st, h));
    jint size = null_object ? 0 : FieldSize(st, h);
    BlockRecord facts = {};
    bool registered = !null_object && Has(h.shape, "p") && p != nullptr && RegistryLookup(p, &facts);
    // Views are trusted: the harness keeps their "size" within the memory.
    if (!registered && h.view && Has(h.shape, "size") && (size < 0 || static_cast<size_t>(size) > h.view_length))
        return;
    if (!registered && !h.view && p != nullptr && Has(h.shape, "p")) return;  // a freed block's stale p
    switch (in.Pick(3)) {
        case 0: {
            jbyteArray bytes = Java_Orvalith_Base_JNI_00024Pointer_getContent(env, h.obj);
            bool raised = Raised(st);
            // Without "size" (or "p") the accessor raised and nothing was read.
            Check(Has(h.shape, "size") || (bytes == nullptr && raised), "getContent without size");
            if (bytes != nullptr && registered && size > 0) {
                jsize n = env->GetArrayLength(bytes);
                Check(static_cast<size_t>(n) <= facts.length, "getContent read past the block");
            }
            Check(bytes != nullptr || raised || null_object || !Has(h.shape, "p") || size < 0 ||
                      (p == nullptr && size > 0),
                  "getContent answered null without raising");
            env->DeleteLocalRef(bytes);
            break;
        }
        case 1: {
            jlongArray longs = Java_Orvalith_Base_JNI_00024Pointer_getNativeArrayAsLongs(env, h.obj);
            bool raised = Raised(st);
            Check(Has(h.shape, "size") || (longs == nullptr && raised), "getNativeArrayAsLongs without size");
            if (longs != nullptr && registered) {
                size_t n = static_cast<size_t>(env->GetArrayLength(longs));
                Check(n * sizeof(long) <= facts.length, "getNativeArrayAsLongs read past the block");
            }
            env->DeleteLocalRef(longs);
            break;
        }
        default: {
            jboolean unicode = in.Coin() ? JNI_TRUE : JNI_FALSE;
            // A registered block's text ends at its terminator or at the
            // block's end; memory nobody registered is trusted to hold a
            // terminator, so only views that have one are read.
            if (p != nullptr && Has(h.shape, "p") && !registered) {
                size_t length = h.view ? sizeof view_memory[0] : 0;
                const char *bytes = static_cast<const char *>(p);
                bool terminated = false;
                if (unicode) {
                    for (size_t i = 0; i + 1 < length && !terminated; i += 2)
                        terminated = bytes[i] == 0 && bytes[i + 1] == 0;
                } else {
                    terminated = memchr(bytes, 0, length) != nullptr;
                }
                if (!terminated) return;
            }
            jstring s = Java_Orvalith_Base_JNI_00024Pointer_getContentAsString(env, h.obj, unicode);
            Raised(st);
            if (s != nullptr && registered && unicode)
                Check(static_cast<size_t>(env->GetStringLength(s)) <= facts.length / 2,
                      "getContentAsString read past the block");
            env->DeleteLocalRef(s);
            break;
        }
    }
}

void Copy(State &st, Input &in, int slot) {
    Held &h = st.slots[slot];
    JNIEnv *env = st.v.env;
    std::vector<uint8_t> data = in.Bytes();
    bool null_source = in.Pick(16) == 0;
    jint src_offset = in.Size(), dst_offset = in.Size(), length = in.Size();
    void *p = h.obj != nullptr && Has(h.shape, "p") ? NarrowAddress(FieldP(st, h)) : nullptr;
    bool registered = p != nullptr && RegistryKnows(p);
    // Memory that nobody registered is trusted to be as long as the caller
    // says; the harness says only what its views hold.
    if (p != nullptr && !registered) {
        if (!h.view) return;
        if (dst_offset >= 0 && length >= 0 &&
            static_cast<uint64_t>(dst_offset) + static_cast<uint64_t>(length) > h.view_length)
            return;
    }
    jbyteArray src = null_source ? nullptr
                                 : fakejni::new_byte_array(env, std::vector<jbyte>(data.begin(), data.end()));
    Java_Orvalith_Base_JNI_00024Pointer_copy(env, nullptr, src, src_offset, h.obj, dst_offset, length);
    Raised(st);
    env->DeleteLocalRef(src);
}

void Mutate(State &st, Input &in, int slot) {
    Held &h = st.slots[slot];
    if (h.obj == nullptr) return;
    if (in.Coin()) {
        // A rewritten "size": what Java code or a platform call may leave.
        if (Has(h.shape, "size") && !h.view) fakejni::set_int_field(st.v.vm, h.obj, "size", in.Size());
    } else if (Has(h.shape, "p")) {
        // Forgetting the address: the block stays for its other holders.
        fakejni::set_long_field(st.v.vm, h.obj, "p", 0);
        h.view = false;
    }
}

BlockNode *Find(plist *list, void *address) {
    for (BlockNode *node = list->head; node != nullptr; node = node->next)
        if (node->address == address) return node;
    return nullptr;
}

// The exported list functions on a registry of the caller's own.
void OwnList(State &st, Input &in) {
    void *address = &st.own_blocks[in.Pick(4)];
    int32_t before = st.own.count;
    BlockNode *node = Find(&st.own, address);
    int32_t refs = node != nullptr ? node->refcount : 0;
    switch (in.Pick(4)) {
        case 0:
            plist_add(&st.own, address);
            Check(st.own.count == before + (refs == 0 ? 1 : 0), "plist_add count");
            Check(Find(&st.own, address)->refcount == refs + 1, "plist_add reference");
            break;
        case 1:
            plist_incref(&st.own, address);
            Check(refs == 0 || Find(&st.own, address)->refcount == refs + 1, "plist_incref");
            break;
        case 2: {
            int last = plist_delete(&st.own, address);
            Check(last == (refs == 1 ? 1 : 0), "plist_delete answer");
            Check(st.own.count == before - last, "plist_delete count");
            break;
        }
        default:
            plist_reset(&st.own);
            Check(st.own.count == 0 && st.own.head == nullptr, "plist_reset");
            break;
    }
}

// Every block the harness made goes back: its first object gets the fields
// it was born with again, and each free drops one reference until the last
// releases the block.
void Drain(State &st) {
    for (Made &m : st.made) {
        for (int round = 0; round < 64 && RegistryKnows(NarrowAddress(m.p)); round++) {
            fakejni::set_long_field(st.v.vm, m.obj, "p", m.p);
            fakejni::set_object_field(st.v.vm, m.obj, "o", m.o);
            Java_Orvalith_Base_JNI_00024Pointer_free(st.v.env, m.obj);
            Raised(st);
        }
        Check(!RegistryKnows(NarrowAddress(m.p)), "a block that no free releases");
        st.v.env->DeleteLocalRef(m.obj);
        st.v.env->DeleteLocalRef(m.o);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    State st;
    fuzz::Begin(st.v);
    DefineClasses(st.v.vm);
    plist_new(&st.own);
    if (in.Coin()) fakejni::set_copy_elements(st.v.vm, true);
    for (int step = 0; step < 48 && in.More(); step++) {
        int slot = static_cast<int>(in.Pick(kSlots));
        static const char *const kSteps[] = {"getInstance", "getInstance", "getInstance", "alias",
                                             "free", "read", "read", "copy", "mutate", "plist"};
        unsigned op = in.Pick(10);
        switch (op) {
            case 0: case 1: case 2: NewBlock(st, in, slot); break;
            case 3: Alias(st, in, slot, static_cast<int>(in.Pick(kSlots))); break;
            case 4: Free(st, slot); break;
            case 5: case 6: Read(st, in, slot); break;
            case 7: Copy(st, in, slot); break;
            case 8: Mutate(st, in, slot); break;
            default:
                if (in.Pick(4) == 0) {
                    // The VM runs out of memory at one of its next allocations.
                    fakejni::fail_allocation(st.v.vm, fakejni::kAllocAny, 1 + in.Pick(4));
                } else {
                    OwnList(st, in);
                }
                break;
        }
        fuzz::CheckNoViolation(st.v, kSteps[op]);
    }
    fakejni::reset_faults(st.v.vm);
    // Blocks whose every holder forgot the address can no longer be freed
    // by anyone: a caller's leak, not the library's; the harness releases
    // them itself so that the next input starts from an empty registry.
    Drain(st);
    Check(RegistryCount() == 0, "blocks left in the registry");
    for (Held &h : st.slots)
        if (h.obj != nullptr) st.v.env->DeleteLocalRef(h.obj);
    plist_reset(&st.own);
    fuzz::End(st.v);
    return 0;
}
