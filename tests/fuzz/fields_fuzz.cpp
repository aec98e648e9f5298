// The field accessors, cells, string conversions and exception helpers that
// the bridge exports to other native code: fields of every type looked up
// by name on objects whose class has them, lacks them or has them with
// another type; cells null, empty or longer; strings with U+0000, unpaired
// surrogates and pairs; byte arrays of any length; each with or without an
// exception already pending, and with the VM out of memory at a chosen
// allocation.
#include <stdlib.h>
#include <string.h>

#include "harness.h"
#include "runtime/bridge.h"

namespace {

using fuzz::Check;
using fuzz::Input;

const char *const kException = "java/lang/Exception";
const char *const kPending = "fuzz/Pending";
const char *const kNames[] = {"s", "o", "j", "d", "z", "i", "b", "missing", ""};

void DefineClasses(fakejni::Vm *vm) {
    fakejni::define_class(vm, kPending, "java/lang/Exception");
    fakejni::define_class(vm, "fuzz/Fields", "java/lang/Object",
                          {{"s", "Ljava/lang/String;"}, {"o", "Ljava/lang/Object;"}, {"j", "J"}, {"d", "D"},
                           {"z", "Z"}, {"i", "I"}, {"b", "[B"}});
    // The same names with other types: every lookup by the expected type fails.
    fakejni::define_class(vm, "fuzz/Swapped", "java/lang/Object",
                          {{"s", "J"}, {"o", "Ljava/lang/String;"}, {"j", "I"}, {"d", "J"},
                           {"z", "I"}, {"i", "J"}, {"b", "[I"}});
    fakejni::define_class(vm, "fuzz/Sub", "fuzz/Fields");
}

// Whether the pending exception after a helper is allowed: the one the
// input set up beforehand (it must survive, unless the helper raised its
// own), the bridge's missing-member report, or the VM's out-of-memory.
void Settle(JNIEnv *env, bool had_pending, bool may_raise) {
    fakejni::PendingException e = fakejni::pending_exception(env);
    if (had_pending && !may_raise) Check(e.present && e.class_name == kPending, "a pending exception was lost");
    if (had_pending) Check(e.present, "a pending exception was lost");
    fuzz::TakeException(env, {kPending, kException, "java/lang/NoSuchFieldError", fuzz::kOutOfMemoryError});
}

void Raise(JNIEnv *env) {
    jclass cls = env->FindClass(kPending);
    env->ThrowNew(cls, "set aside");
    env->DeleteLocalRef(cls);
}

// The type letter (as the accessors are ordered: s o j d z i b) of the
// field of that name on the object's class; 0 when it has none.
char FieldType(fakejni::Vm *vm, jobject obj, const char *name) {
    std::string cls = fakejni::class_name(vm, obj);
    static const char *const kOwn = "sojdzib";
    static const char *const kSwapped = "jsijijx";  // s J, o String, j I, d J, z I, i J, b [I
    const char *letters = cls == "fuzz/Swapped" ? kSwapped : kOwn;
    for (int k = 0; k < 7; k++)
        if (name[0] == kOwn[k] && name[1] == 0) return letters[k];
    return 0;
}

void FieldOp(fuzz::Vm &v, Input &in, jobject obj) {
    JNIEnv *env = v.env;
    const char *name = kNames[in.Pick(sizeof kNames / sizeof kNames[0])];
    bool pending = in.Pick(3) == 0;
    if (pending) Raise(env);
    unsigned op = in.Pick(13);
    // Each accessor either finds the field of its own type (only the field
    // of that name and type counts) or reports it missing with its fallback.
    const char *types = "sojdzibsojdzi";
    bool right_type = FieldType(v.vm, obj, name) == types[op];
    jlong value = in.Long();
    switch (op) {
        case 0: { jstring s = GetStringField(env, obj, name); env->DeleteLocalRef(s); break; }
        case 1: { jobject o = GetObjectField(env, obj, name); env->DeleteLocalRef(o); break; }
        case 2: {
            jlong r = GetLongField(env, obj, name);
            if (right_type) Check(r == fakejni::long_field(v.vm, obj, name), "GetLongField");
            if (!right_type) Check(r == -1, "GetLongField fallback");
            break;
        }
        case 3: {
            jdouble r = GetDoubleField(env, obj, name);
            if (!right_type) Check(r == -1.0, "GetDoubleField fallback");
            break;
        }
        case 4: {
            unsigned char r = GetBoolField(env, obj, name);
            Check(right_type ? r <= 1 : r == 255, "GetBoolField");
            break;
        }
        case 5: {
            jint r = GetIntField(env, obj, name);
            if (!right_type) Check(r == -1, "GetIntField fallback");
            break;
        }
        case 6: {
            jbyteArray array = nullptr;
            jbyte *bytes = GetByteArrayField(env, obj, name, &array);
            if (bytes != nullptr) env->ReleaseByteArrayElements(array, bytes, JNI_ABORT);
            env->DeleteLocalRef(array);
            break;
        }
        case 7: {
            jstring s = in.Coin() ? fakejni::new_string(env, in.Text()) : nullptr;
            SetStringField(env, obj, name, s);
            env->DeleteLocalRef(s);
            break;
        }
        case 8: {
            jobject o = in.Coin() ? fakejni::new_object(env, "java/lang/Object") : nullptr;
            SetObjectField(env, obj, name, o);
            env->DeleteLocalRef(o);
            break;
        }
        case 9:
            SetLongField(env, obj, name, static_cast<unsigned long>(value));
            if (right_type) Check(fakejni::long_field(v.vm, obj, name) == static_cast<jlong>(static_cast<unsigned long>(value)), "SetLongField");
            break;
        case 10: SetDoubleField(env, obj, name, static_cast<double>(value)); break;
        case 11: SetBoolField(env, obj, name, static_cast<unsigned char>(value)); break;
        default:
            SetIntField(env, obj, name, static_cast<jint>(value));
            if (right_type) Check(fakejni::int_field(v.vm, obj, name) == static_cast<jint>(value), "SetIntField");
            break;
    }
    Settle(env, pending, true);
}

void CellOp(fuzz::Vm &v, Input &in) {
    JNIEnv *env = v.env;
    size_t n = in.Pick(3);  // 0, 1 or 2 elements
    bool null_cell = in.Pick(6) == 0;
    bool pending = in.Pick(3) == 0;
    jlong value = in.Long();
    unsigned op = in.Pick(5);
    jarray cell = nullptr;
    if (!null_cell) {
        if (op == 0 || op == 3) cell = fakejni::new_int_array(env, std::vector<jint>(n, 5));
        else if (op == 2) cell = fakejni::new_boolean_array(env, std::vector<jboolean>(n, 0));
        else cell = fakejni::new_long_array(env, std::vector<jlong>(n, 6));
    }
    if (pending) Raise(env);
    switch (op) {
        case 0: {
            jint r = GetIntRefValue(env, static_cast<jintArray>(cell));
            Check(r == (n > 0 && !null_cell ? 5 : 0) || fakejni::pending_exception(env).present, "GetIntRefValue");
            break;
        }
        case 1: {
            jlong r = GetLongRefValue(env, static_cast<jlongArray>(cell));
            Check(r == (n > 0 && !null_cell ? 6 : 0) || fakejni::pending_exception(env).present, "GetLongRefValue");
            break;
        }
        case 2: SetBoolRef(env, static_cast<jbooleanArray>(cell), static_cast<unsigned char>(value)); break;
        case 3:
            SetIntRef(env, static_cast<jintArray>(cell), static_cast<jint>(value));
            if (cell != nullptr && n > 0 && !fakejni::pending_exception(env).present)
                Check(fakejni::int_elements(v.vm, static_cast<jintArray>(cell))[0] == static_cast<jint>(value), "SetIntRef");
            break;
        default:
            SetLongRef(env, static_cast<jlongArray>(cell), value);
            if (cell != nullptr && n > 0 && !fakejni::pending_exception(env).present)
                Check(fakejni::long_elements(v.vm, static_cast<jlongArray>(cell))[0] == value, "SetLongRef");
            if (cell != nullptr && n > 1)
                Check(fakejni::long_elements(v.vm, static_cast<jlongArray>(cell))[1] == 6, "SetLongRef wrote past element 0");
            break;
    }
    Settle(env, pending, true);
    env->DeleteLocalRef(cell);
}

void StringOp(fuzz::Vm &v, Input &in) {
    JNIEnv *env = v.env;
    switch (in.Pick(4)) {
        case 0: {
            // Java to native and back: the modified UTF-8 of the text, whole.
            std::u16string text = in.Text();
            jstring s = fakejni::new_string(env, text);
            char *native = jstringToWindows(env, s);
            bool raised = fuzz::TakeException(env, {kException, fuzz::kOutOfMemoryError});
            if (native != nullptr && !raised) {
                std::string bytes = fakejni::to_modified_utf8(text);
                Check(strlen(native) == bytes.size() && memcmp(native, bytes.c_str(), bytes.size()) == 0,
                      "jstringToWindows");
                jstring back = WindowsTojstring(env, native);
                if (!fuzz::TakeException(env, {fuzz::kOutOfMemoryError}))
                    Check(fakejni::string_chars(v.vm, back) == text, "WindowsTojstring of jstringToWindows");
                env->DeleteLocalRef(back);
            }
            free(native);
            env->DeleteLocalRef(s);
            break;
        }
        case 1: {
            // Any bytes, terminated: malformed sequences included.
            std::vector<uint8_t> bytes = in.Bytes();
            bytes.push_back(0);
            jstring s = WindowsTojstring(env, reinterpret_cast<const char *>(bytes.data()));
            fuzz::TakeException(env, {fuzz::kOutOfMemoryError});
            env->DeleteLocalRef(s);
            break;
        }
        case 2: {
            std::vector<uint8_t> bytes = in.Bytes();
            int length = in.Coin() ? static_cast<int>(bytes.size()) : in.Pick(4) == 0 ? -1 : 0;
            jbyteArray array = bArr2jArr(env, bytes.data(), length);
            bool raised = fuzz::TakeException(env, {"java/lang/NegativeArraySizeException", fuzz::kOutOfMemoryError});
            if (array != nullptr) {
                Check(!raised && env->GetArrayLength(array) == length, "bArr2jArr length");
                std::vector<jbyte> got = fakejni::byte_elements(v.vm, array);
                Check(length == 0 || memcmp(got.data(), bytes.data(), static_cast<size_t>(length)) == 0, "bArr2jArr bytes");
            }
            env->DeleteLocalRef(array);
            break;
        }
        default: {
            // Raising: a message of any length (cut at 49 characters when it
            // names a missing member), with or without one pending.
            bool pending = in.Coin();
            if (pending) Raise(env);
            std::vector<uint8_t> bytes = in.Bytes(80);
            bytes.push_back(0);
            const char *text = reinterpret_cast<const char *>(bytes.data());
            unsigned which = in.Pick(4);
            switch (which) {
                case 0: ThrowNewException(env, text); break;
                case 1: {
                    jthrowable held = ShelvePending(env);
                    Check(!fakejni::pending_exception(env).present, "ShelvePending left it pending");
                    if (in.Coin()) ThrowNewException(env, "newer");
                    RestorePending(env, held);
                    break;
                }
                case 2: ThrowMissing(env, "Can't find %s field in class.", text); break;
                default: {
                    // A thin wrapper of three JNI calls: like them, it is not
                    // for use with an exception pending.
                    fakejni::clear_exception(env);
                    jobject o = GetObj(env);
                    FreeObj(env, o);
                    break;
                }
            }
            fakejni::PendingException e = fakejni::pending_exception(env);
            if (which == 2) {
                // Cut to 49 bytes of the native text, whatever they decode to.
                size_t characters = 0;
                for (unsigned char c : e.message) characters += (c & 0xc0) != 0x80;
                Check(e.present && (e.class_name == fuzz::kOutOfMemoryError ||
                                    (e.class_name == kException && characters <= 49)),
                      "a missing-member message", e.class_name + ": " + e.message);
            }
            fuzz::TakeException(env, {kPending, kException, fuzz::kOutOfMemoryError});
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    fuzz::Vm v;
    fuzz::Begin(v);
    DefineClasses(v.vm);
    if (in.Coin()) fakejni::set_copy_elements(v.vm, true);
    jobject objects[3] = {fakejni::new_object(v.env, "fuzz/Fields"), fakejni::new_object(v.env, "fuzz/Swapped"),
                          fakejni::new_object(v.env, "fuzz/Sub")};
    for (int step = 0; step < 32 && in.More(); step++) {
        switch (in.Pick(8)) {
            case 0: case 1: case 2: FieldOp(v, in, objects[in.Pick(3)]); break;
            case 3: case 4: CellOp(v, in); break;
            case 5: case 6: StringOp(v, in); break;
            default: fakejni::fail_allocation(v.vm, fakejni::kAllocAny, 1 + in.Pick(4)); break;
        }
    }
    fakejni::reset_faults(v.vm);
    for (jobject o : objects) v.env->DeleteLocalRef(o);
    fuzz::End(v);
    return 0;
}
