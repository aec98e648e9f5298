// Natives of Orvalith.Test.Native: lets the JUnit suite reach the helpers
// that the bridge exports to other native code, plus the raw memory and
// loader views that a test needs to check what the bridge did.
//
// Each native is a thin wrapper.  Plumbing (arrays handed back to Java,
// strings taken from Java) uses the JNI directly, never the helper under
// test, so that one broken helper fails only its own tests.
#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "mock/mock_control.h"
#include "orvjni.h"
#include "Orvalith_Test_Mock.h"
#include "Orvalith_Test_Native.h"

namespace {

// Modified UTF-8 of a Java string for the duration of one native.
struct Utf {
    JNIEnv *env;
    jstring s;
    const char *c;
    Utf(JNIEnv *e, jstring str) : env(e), s(str), c(str ? e->GetStringUTFChars(str, nullptr) : nullptr) {}
    ~Utf() {
        if (c) env->ReleaseStringUTFChars(s, c);
    }
    Utf(const Utf &) = delete;
    Utf &operator=(const Utf &) = delete;
};

// Takes whatever exception is pending off the thread so that the result
// can be handed back through JNI, and raises it again on destruction.
struct Shelved {
    JNIEnv *env;
    jthrowable t;
    explicit Shelved(JNIEnv *e) : env(e), t(e->ExceptionOccurred()) {
        if (t) env->ExceptionClear();
    }
    ~Shelved() {
        if (t) env->Throw(t);
    }
    Shelved(const Shelved &) = delete;
    Shelved &operator=(const Shelved &) = delete;
};

jbyteArray bytes(JNIEnv *env, const void *data, size_t n) {
    jbyteArray a = env->NewByteArray(static_cast<jsize>(n));
    if (a && n) env->SetByteArrayRegion(a, 0, static_cast<jsize>(n), static_cast<const jbyte *>(data));
    return a;
}

jlongArray longs(JNIEnv *env, const std::vector<jlong> &v) {
    jlongArray a = env->NewLongArray(static_cast<jsize>(v.size()));
    if (a && !v.empty()) env->SetLongArrayRegion(a, 0, static_cast<jsize>(v.size()), v.data());
    return a;
}

void setOut(JNIEnv *env, jlongArray out, jlong v) { env->SetLongArrayRegion(out, 0, 1, &v); }

jlong addr(const void *p) { return static_cast<jlong>(reinterpret_cast<uintptr_t>(p)); }
template <typename T> T *ptr(jlong a) { return reinterpret_cast<T *>(static_cast<uintptr_t>(a)); }

jdouble asDouble(jlong bits) {
    jdouble d;
    memcpy(&d, &bits, sizeof d);
    return d;
}
jlong asBits(jdouble d) {
    jlong bits;
    memcpy(&bits, &d, sizeof bits);
    return bits;
}

// Accessor numbers; the order is that of the enums in Native.java.
enum Read { R_LONG_FIELD, R_INT_FIELD, R_BOOL_FIELD, R_DOUBLE_FIELD, R_LONG_REF, R_INT_REF };
enum ReadObject { RO_OBJECT_FIELD, RO_STRING_FIELD };
enum Write {
    W_LONG_FIELD, W_INT_FIELD, W_BOOL_FIELD, W_DOUBLE_FIELD, W_OBJECT_FIELD, W_STRING_FIELD,
    W_LONG_REF, W_INT_REF, W_BOOL_REF
};

jlong readNumber(JNIEnv *env, jint which, jobject target, const char *name) {
    switch (which) {
    case R_LONG_FIELD: return GetLongField(env, target, name);
    case R_INT_FIELD: return GetIntField(env, target, name);
    case R_BOOL_FIELD: return GetBoolField(env, target, name);
    case R_DOUBLE_FIELD: return asBits(GetDoubleField(env, target, name));
    case R_LONG_REF: return GetLongRefValue(env, static_cast<jlongArray>(target));
    case R_INT_REF: return GetIntRefValue(env, static_cast<jintArray>(target));
    }
    return 0;
}

jobject readObject(JNIEnv *env, jint which, jobject target, const char *name) {
    return which == RO_OBJECT_FIELD ? GetObjectField(env, target, name) : GetStringField(env, target, name);
}

void write(JNIEnv *env, jint which, jobject target, const char *name, jlong v, jobject o) {
    switch (which) {
    case W_LONG_FIELD: SetLongField(env, target, name, static_cast<unsigned long>(v)); break;
    case W_INT_FIELD: SetIntField(env, target, name, static_cast<jint>(v)); break;
    case W_BOOL_FIELD: SetBoolField(env, target, name, static_cast<unsigned char>(v)); break;
    case W_DOUBLE_FIELD: SetDoubleField(env, target, name, asDouble(v)); break;
    case W_OBJECT_FIELD: SetObjectField(env, target, name, o); break;
    case W_STRING_FIELD: SetStringField(env, target, name, static_cast<jstring>(o)); break;
    case W_LONG_REF: SetLongRef(env, static_cast<jlongArray>(target), v); break;
    case W_INT_REF: SetIntRef(env, static_cast<jintArray>(target), static_cast<jint>(v)); break;
    case W_BOOL_REF: SetBoolRef(env, static_cast<jbooleanArray>(target), static_cast<unsigned char>(v)); break;
    }
}

// What a thread the virtual machine never started sees of the bridge's
// environment functions.
struct EnvProbe {
    JavaVM *vm;
    jint seen[5];
};

void *probeEnv(void *arg) {
    EnvProbe *p = static_cast<EnvProbe *>(arg);
    JNIEnv *check = nullptr;
    p->seen[0] = GetEnv() != nullptr;
    JNIEnv *attached = AttachEnv();
    p->seen[1] = attached != nullptr;
    p->seen[2] = attached && p->vm->GetEnv(reinterpret_cast<void **>(&check), JNI_VERSION_1_4) == JNI_OK &&
                 check == attached;
    p->seen[3] = attached && GetEnv() == attached;
    DetachEnv();
    p->seen[4] = p->vm->GetEnv(reinterpret_cast<void **>(&check), JNI_VERSION_1_4) == JNI_OK;
    if (p->seen[4]) p->vm->DetachCurrentThread();
    return nullptr;
}

// The module loader's record behind a handle: library handle, function
// table, whether the bridge owns the table.
struct ModuleRecord {
    void *library;
    CK_FUNCTION_LIST_PTR table;
    int32_t owned;
};

void *const *tableEntries(CK_FUNCTION_LIST_PTR table) {
    return reinterpret_cast<void *const *>(reinterpret_cast<const char *>(table) +
                                           offsetof(CK_FUNCTION_LIST, C_Initialize));
}

// A look at a library that is already loaded, which leaves its reference
// count as it was.
void *loadedSymbol(const char *path, const char *name) {
    void *h = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    if (!h) return nullptr;
    void *sym = dlsym(h, name);
    dlclose(h);
    return sym;
}

const MockControl *mc(jlong control) { return ptr<const MockControl>(control); }

// A MockRecord as the flat long[] that Mock.Record reads.
jlongArray flatRecord(JNIEnv *env, const MockRecord &r) {
    std::vector<jlong> v{r.entry, r.nargs, jlong(r.thread), jlong(r.rv)};
    for (const MockArg &a : r.args) {
        v.insert(v.end(), {jlong(a.kind), jlong(a.has_pointee), jlong(a.value), jlong(a.pointee)});
    }
    v.insert(v.end(), {r.init_args_null, r.init_word_count});
    for (uint64_t w : r.init_words) v.push_back(jlong(w));
    return longs(env, v);
}

}  // namespace

extern "C" {

// Field accessors.

JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_getIntField(JNIEnv *env, jclass, jobject o, jstring name) {
    return GetIntField(env, o, Utf(env, name).c);
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Native_getLongField(JNIEnv *env, jclass, jobject o, jstring name) {
    return GetLongField(env, o, Utf(env, name).c);
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_getBoolField(JNIEnv *env, jclass, jobject o, jstring name) {
    return GetBoolField(env, o, Utf(env, name).c);
}
JNIEXPORT jdouble JNICALL Java_Orvalith_Test_Native_getDoubleField(JNIEnv *env, jclass, jobject o, jstring name) {
    return GetDoubleField(env, o, Utf(env, name).c);
}
JNIEXPORT jobject JNICALL Java_Orvalith_Test_Native_getObjectField(JNIEnv *env, jclass, jobject o, jstring name) {
    return GetObjectField(env, o, Utf(env, name).c);
}
JNIEXPORT jstring JNICALL Java_Orvalith_Test_Native_getStringField(JNIEnv *env, jclass, jobject o, jstring name) {
    return GetStringField(env, o, Utf(env, name).c);
}

JNIEXPORT jbyteArray JNICALL Java_Orvalith_Test_Native_getByteArrayField(JNIEnv *env, jclass, jobject o,
                                                                         jstring name) {
    Utf n(env, name);
    jbyteArray array = nullptr;
    jbyte *elements = GetByteArrayField(env, o, n.c, &array);
    if (!elements) return nullptr;
    jbyteArray copy = bytes(env, elements, static_cast<size_t>(env->GetArrayLength(array)));
    env->ReleaseByteArrayElements(array, elements, JNI_ABORT);
    return copy;
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setIntField(JNIEnv *env, jclass, jobject o, jstring name, jint v) {
    SetIntField(env, o, Utf(env, name).c, v);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setLongField(JNIEnv *env, jclass, jobject o, jstring name, jlong v) {
    SetLongField(env, o, Utf(env, name).c, static_cast<unsigned long>(v));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setBoolField(JNIEnv *env, jclass, jobject o, jstring name,
                                                              jboolean v) {
    SetBoolField(env, o, Utf(env, name).c, v);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setDoubleField(JNIEnv *env, jclass, jobject o, jstring name,
                                                                jdouble v) {
    SetDoubleField(env, o, Utf(env, name).c, v);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setObjectField(JNIEnv *env, jclass, jobject o, jstring name,
                                                                jobject v) {
    SetObjectField(env, o, Utf(env, name).c, v);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setStringField(JNIEnv *env, jclass, jobject o, jstring name,
                                                                jstring v) {
    SetStringField(env, o, Utf(env, name).c, v);
}

// Reference cells.

JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_getIntRefValue(JNIEnv *env, jclass, jintArray cell) {
    return GetIntRefValue(env, cell);
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Native_getLongRefValue(JNIEnv *env, jclass, jlongArray cell) {
    return GetLongRefValue(env, cell);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setBoolRef(JNIEnv *env, jclass, jbooleanArray cell, jboolean v) {
    SetBoolRef(env, cell, v);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setIntRef(JNIEnv *env, jclass, jintArray cell, jint v) {
    SetIntRef(env, cell, v);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_setLongRef(JNIEnv *env, jclass, jlongArray cell, jlong v) {
    SetLongRef(env, cell, v);
}

// The same accessors with their result captured past any exception, and
// optionally with an exception already pending when they are entered.

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_readCaptured(JNIEnv *env, jclass, jthrowable pending, jint which,
                                                              jobject target, jstring name, jlongArray out) {
    Utf n(env, name);
    if (pending) env->Throw(pending);
    jlong v = readNumber(env, which, target, n.c);
    Shelved s(env);
    setOut(env, out, v);
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_readObjectCaptured(JNIEnv *env, jclass, jthrowable pending,
                                                                    jint which, jobject target, jstring name,
                                                                    jobjectArray out) {
    Utf n(env, name);
    if (pending) env->Throw(pending);
    jobject v = readObject(env, which, target, n.c);
    Shelved s(env);
    env->SetObjectArrayElement(out, 0, v);
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_writeCaptured(JNIEnv *env, jclass, jthrowable pending, jint which,
                                                               jobject target, jstring name, jlong v, jobject o) {
    Utf n(env, name);
    if (pending) env->Throw(pending);
    write(env, which, target, n.c, v, o);
}

// Objects, arrays and strings.

JNIEXPORT jobject JNICALL Java_Orvalith_Test_Native_getObj(JNIEnv *env, jclass) { return GetObj(env); }

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_freeObj(JNIEnv *env, jclass, jobject o) {
    FreeObj(env, env->NewLocalRef(o));
}

JNIEXPORT jbyteArray JNICALL Java_Orvalith_Test_Native_bArr2jArr(JNIEnv *env, jclass, jbyteArray src, jint length) {
    if (!src) return bArr2jArr(env, nullptr, length);
    std::vector<unsigned char> copy(static_cast<size_t>(env->GetArrayLength(src)) + 1);
    env->GetByteArrayRegion(src, 0, env->GetArrayLength(src), reinterpret_cast<jbyte *>(copy.data()));
    return bArr2jArr(env, copy.data(), length);
}

JNIEXPORT jbyteArray JNICALL Java_Orvalith_Test_Native_jstringToWindows(JNIEnv *env, jclass, jstring s) {
    char *text = jstringToWindows(env, s);
    jbyteArray r = bytes(env, text, strlen(text) + 1);
    free(text);
    return r;
}

JNIEXPORT jstring JNICALL Java_Orvalith_Test_Native_windowsTojstring(JNIEnv *env, jclass, jbyteArray text) {
    if (!text) return WindowsTojstring(env, nullptr);
    std::string s(static_cast<size_t>(env->GetArrayLength(text)), '\0');
    env->GetByteArrayRegion(text, 0, static_cast<jsize>(s.size()), reinterpret_cast<jbyte *>(&s[0]));
    return WindowsTojstring(env, s.c_str());
}

// Exceptions and lookups.

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_throwNewException(JNIEnv *env, jclass, jthrowable pending,
                                                                   jstring message) {
    Utf m(env, message);
    if (pending) env->Throw(pending);
    ThrowNewException(env, m.c);
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Native_throwMessage(JNIEnv *env, jclass, jstring message) {
    Throw(env, message);
}

// A null signature stands for a lookup that gave nothing.
JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_isFieldExists(JNIEnv *env, jclass, jobject o, jstring name,
                                                               jstring sig) {
    Utf n(env, name), g(env, sig);
    jfieldID id = nullptr;
    if (g.c) {
        jclass cls = env->GetObjectClass(o);
        id = env->GetFieldID(cls, n.c, g.c);  // leaves NoSuchFieldError pending, as the accessors do
        env->DeleteLocalRef(cls);
    }
    return IsFieldExists(env, o, id, n.c);
}

JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_canCallMethod(JNIEnv *env, jclass, jobject o, jstring name,
                                                               jstring sig) {
    Utf n(env, name), g(env, sig);
    jmethodID id = g.c ? GetMethodID(env, n.c, g.c, o) : nullptr;
    return CanCallMethod(env, o, id, n.c);
}

JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Native_hasMethod(JNIEnv *env, jclass, jobject o, jstring name,
                                                               jstring sig) {
    Utf n(env, name), g(env, sig);
    return GetMethodID(env, n.c, g.c, o) != nullptr;
}

// Environment.

JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Native_jvmIsSet(JNIEnv *env, jclass) {
    JavaVM *vm = nullptr;
    return env->GetJavaVM(&vm) == JNI_OK && jvm == vm;
}

JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Native_getEnvIsCaller(JNIEnv *env, jclass) { return GetEnv() == env; }

JNIEXPORT jintArray JNICALL Java_Orvalith_Test_Native_probeEnvOnNewThread(JNIEnv *env, jclass) {
    EnvProbe probe{};
    env->GetJavaVM(&probe.vm);
    pthread_t t;
    if (pthread_create(&t, nullptr, probeEnv, &probe) != 0) return nullptr;
    pthread_join(t, nullptr);
    jintArray r = env->NewIntArray(5);
    if (r) env->SetIntArrayRegion(r, 0, 5, probe.seen);
    return r;
}

// Initialise arguments.

JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Native_isNSS(JNIEnv *env, jclass, jobject args) {
    return IsNSS(env, args) != 0;
}

// The record's pointer-sized words into out; answers how many (0 when no
// record was built).  An exception raised while building stays pending.
JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_objToInitializeArgs(JNIEnv *env, jclass, jobject args,
                                                                     jlongArray out) {
    jint words = args == nullptr ? 0
                 : IsNSS(env, args) ? jint(sizeof(NssInitializeArgs) / sizeof(void *))
                                    : jint(sizeof(CK_C_INITIALIZE_ARGS) / sizeof(void *));
    void *record = ObjToInitializeArgs(env, args);
    Shelved s(env);
    if (!record) return 0;
    std::vector<jlong> w(static_cast<size_t>(words));
    for (jint i = 0; i < words; ++i) w[static_cast<size_t>(i)] = addr(static_cast<void **>(record)[i]);
    free(record);
    env->SetLongArrayRegion(out, 0, words, w.data());
    return words;
}

JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Native_mutexCallbacks(JNIEnv *env, jclass) {
    return longs(env, {addr(reinterpret_cast<void *>(&CreateMutexCallback)),
                       addr(reinterpret_cast<void *>(&DestroyMutexCallback)),
                       addr(reinterpret_cast<void *>(&LockMutexCallback)),
                       addr(reinterpret_cast<void *>(&UnlockMutexCallback))});
}

// A registry of the test's own.

JNIEXPORT jlong JNICALL Java_Orvalith_Test_Native_plistCreate(JNIEnv *, jclass) {
    plist *r = static_cast<plist *>(calloc(1, sizeof(plist)));
    plist_new(r);
    return addr(r);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_plistDispose(JNIEnv *, jclass, jlong r) {
    plist_reset(ptr<plist>(r));
    free(ptr<plist>(r));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_plistNew(JNIEnv *, jclass, jlong r) { plist_new(ptr<plist>(r)); }
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_plistAdd(JNIEnv *, jclass, jlong r, jlong a) {
    plist_add(ptr<plist>(r), ptr<void>(a));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_plistIncref(JNIEnv *, jclass, jlong r, jlong a) {
    plist_incref(ptr<plist>(r), ptr<void>(a));
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_plistDelete(JNIEnv *, jclass, jlong r, jlong a) {
    return plist_delete(ptr<plist>(r), ptr<void>(a));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_plistFree(JNIEnv *, jclass, jlong r) { plist_free(ptr<plist>(r)); }
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_plistReset(JNIEnv *, jclass, jlong r) {
    plist_reset(ptr<plist>(r));
}

// count, then address and refcount of each node from the head; null when
// the back links do not mirror the forward ones or count is wrong.
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Native_plistNodes(JNIEnv *env, jclass, jlong r) {
    const plist *reg = ptr<plist>(r);
    std::vector<jlong> v{reg->count};
    const BlockNode *prev = nullptr;
    for (const BlockNode *n = reg->head; n; prev = n, n = n->next) {
        if (n->prev != prev) return nullptr;
        v.push_back(addr(n->address));
        v.push_back(n->refcount);
    }
    if (static_cast<jlong>(v.size() / 2) != reg->count) return nullptr;
    return longs(env, v);
}

// Raw memory, for looking into blocks.

JNIEXPORT jbyteArray JNICALL Java_Orvalith_Test_Native_peek(JNIEnv *env, jclass, jlong address, jint length) {
    return bytes(env, ptr<void>(address), static_cast<size_t>(length));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_poke(JNIEnv *env, jclass, jlong address, jbyteArray data) {
    env->GetByteArrayRegion(data, 0, env->GetArrayLength(data), ptr<jbyte>(address));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Native_pokeNativeLongs(JNIEnv *env, jclass, jlong address,
                                                                 jlongArray values) {
    std::vector<jlong> v(static_cast<size_t>(env->GetArrayLength(values)));
    env->GetLongArrayRegion(values, 0, static_cast<jsize>(v.size()), v.data());
    for (size_t i = 0; i < v.size(); ++i) ptr<unsigned long>(address)[i] = static_cast<unsigned long>(v[i]);
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_nativeLongSize(JNIEnv *, jclass) { return sizeof(unsigned long); }
JNIEXPORT jint JNICALL Java_Orvalith_Test_Native_nativePointerSize(JNIEnv *, jclass) { return sizeof(void *); }

// Module loader views.

JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Native_moduleRecord(JNIEnv *env, jclass, jlong handle) {
    const ModuleRecord *m = ptr<ModuleRecord>(handle);
    return longs(env, {addr(m->library), addr(m->table), m->owned});
}

JNIEXPORT jlong JNICALL Java_Orvalith_Test_Native_tableEntry(JNIEnv *, jclass, jlong table, jint entry) {
    return addr(tableEntries(ptr<CK_FUNCTION_LIST>(table))[entry]);
}

JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Native_isLoaded(JNIEnv *env, jclass, jstring path) {
    Utf p(env, path);
    void *h = dlopen(p.c, RTLD_LAZY | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

JNIEXPORT jlong JNICALL Java_Orvalith_Test_Native_loadedSymbol(JNIEnv *env, jclass, jstring path, jstring name) {
    return addr(loadedSymbol(Utf(env, path).c, Utf(env, name).c));
}

// The table that a loaded module's own C_GetFunctionList hands out, or 0.
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Native_moduleOwnTable(JNIEnv *env, jclass, jstring path) {
    CK_C_GetFunctionList get =
        reinterpret_cast<CK_C_GetFunctionList>(loadedSymbol(Utf(env, path).c, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR table = nullptr;
    if (!get || get(&table) != CKR_OK) return 0;
    return addr(table);
}

// Control of the instrumented test modules.

// {dlopen handle, control table}, or null when the file has no control table.
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Mock_open0(JNIEnv *env, jclass, jstring path) {
    void *h = dlopen(Utf(env, path).c, RTLD_LAZY);
    MockControlFn get = h ? reinterpret_cast<MockControlFn>(dlsym(h, MOCK_CONTROL_SYMBOL)) : nullptr;
    const MockControl *c = get ? get() : nullptr;
    if (!c || c->abi != MOCK_CONTROL_ABI) {
        if (h) dlclose(h);
        return nullptr;
    }
    return longs(env, {addr(h), addr(c)});
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_close0(JNIEnv *, jclass, jlong h) { dlclose(ptr<void>(h)); }

JNIEXPORT jstring JNICALL Java_Orvalith_Test_Mock_variant(JNIEnv *env, jclass, jlong c) {
    return env->NewStringUTF(mc(c)->variant());
}
JNIEXPORT jstring JNICALL Java_Orvalith_Test_Mock_entryName(JNIEnv *env, jclass, jlong c, jint entry) {
    return env->NewStringUTF(mc(c)->entry_name(entry));
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_threadId(JNIEnv *, jclass, jlong c) {
    return jlong(mc(c)->thread_id());
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_reset(JNIEnv *, jclass, jlong c) { mc(c)->reset(); }

JNIEXPORT jint JNICALL Java_Orvalith_Test_Mock_recordCount(JNIEnv *, jclass, jlong c) {
    return mc(c)->record_count();
}
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Mock_record(JNIEnv *env, jclass, jlong c, jint index) {
    MockRecord r{};
    return mc(c)->record_get(index, &r) ? flatRecord(env, r) : nullptr;
}
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Mock_recordLast(JNIEnv *env, jclass, jlong c, jint entry) {
    MockRecord r{};
    return mc(c)->record_last(entry, &r) >= 0 ? flatRecord(env, r) : nullptr;
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setResult(JNIEnv *, jclass, jlong c, jint entry, jlong rv) {
    mc(c)->set_result(entry, CK_RV(rv));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setOut(JNIEnv *, jclass, jlong c, jint entry, jint arg, jlong v) {
    mc(c)->set_out(entry, arg, CK_ULONG(v));
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_clearOut(JNIEnv *, jclass, jlong c, jint entry, jint arg) {
    mc(c)->clear_out(entry, arg);
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setEntryNull(JNIEnv *, jclass, jlong c, jint entry, jboolean on) {
    mc(c)->set_entry_null(entry, on);
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setTableVersion(JNIEnv *, jclass, jlong c, jint major, jint minor) {
    mc(c)->set_table_version(major, minor);
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_table(JNIEnv *, jclass, jlong c) { return addr(mc(c)->table()); }
JNIEXPORT jint JNICALL Java_Orvalith_Test_Mock_tableSize(JNIEnv *, jclass, jlong c) {
    return jint(mc(c)->table_size());
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setInitWords(JNIEnv *, jclass, jlong c, jint n) {
    mc(c)->set_init_words(n);
}
JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Mock_hasMutexCallbacks(JNIEnv *, jclass, jlong c) {
    return mc(c)->has_mutex_callbacks() != 0;
}
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Mock_mutexCycle(JNIEnv *env, jclass, jlong c, jboolean newThread) {
    CK_RV rv[4] = {};
    mc(c)->mutex_cycle(newThread, rv);
    return longs(env, {jlong(rv[0]), jlong(rv[1]), jlong(rv[2]), jlong(rv[3])});
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Mock_mutexStress(JNIEnv *, jclass, jlong c, jint threads, jint n) {
    return mc(c)->mutex_stress(threads, n);
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_mutexCounter(JNIEnv *, jclass, jlong c) {
    return jlong(mc(c)->mutex_counter());
}

JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setNextSession(JNIEnv *, jclass, jlong c, jlong h) {
    mc(c)->set_next_session(CK_SESSION_HANDLE(h));
}
JNIEXPORT jboolean JNICALL Java_Orvalith_Test_Mock_sessionIsOpen(JNIEnv *, jclass, jlong c, jlong h) {
    return mc(c)->session_is_open(CK_SESSION_HANDLE(h)) != 0;
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Mock_sessionCount(JNIEnv *, jclass, jlong c) {
    return mc(c)->session_count();
}
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Mock_sessionStored(JNIEnv *env, jclass, jlong c, jlong h) {
    uintptr_t application = 0, notify = 0;
    if (!mc(c)->session_stored(CK_SESSION_HANDLE(h), &application, &notify)) return nullptr;
    return longs(env, {jlong(application), jlong(notify)});
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setOpenNotify(JNIEnv *, jclass, jlong c, jboolean on, jlong event) {
    mc(c)->set_open_notify(on, CK_NOTIFICATION(event));
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Mock_openNotifyCount(JNIEnv *, jclass, jlong c) {
    return mc(c)->open_notify_count();
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_openNotifyResult(JNIEnv *, jclass, jlong c) {
    return jlong(mc(c)->open_notify_result());
}
JNIEXPORT void JNICALL Java_Orvalith_Test_Mock_setStaleNotify(JNIEnv *, jclass, jlong c, jboolean on) {
    mc(c)->set_stale_notify(on);
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_notify(JNIEnv *, jclass, jlong c, jlong session, jlong event) {
    return jlong(mc(c)->notify(CK_SESSION_HANDLE(session), CK_NOTIFICATION(event)));
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_notifyFromNewThread(JNIEnv *, jclass, jlong c, jlong session,
                                                                    jlong event) {
    return jlong(mc(c)->notify_from_new_thread(CK_SESSION_HANDLE(session), CK_NOTIFICATION(event)));
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_lastNotifyThread(JNIEnv *, jclass, jlong c) {
    return jlong(mc(c)->last_notify_thread());
}
JNIEXPORT jint JNICALL Java_Orvalith_Test_Mock_notifyStressStart(JNIEnv *, jclass, jlong c, jlong session,
                                                                 jlong event, jint threads, jint max) {
    return mc(c)->notify_stress_start(CK_SESSION_HANDLE(session), CK_NOTIFICATION(event), threads, max);
}
JNIEXPORT jlong JNICALL Java_Orvalith_Test_Mock_notifyStressCalls(JNIEnv *, jclass, jlong c) {
    return jlong(mc(c)->notify_stress_calls());
}
JNIEXPORT jlongArray JNICALL Java_Orvalith_Test_Mock_notifyStressStop(JNIEnv *env, jclass, jlong c) {
    MockStressResult r{};
    mc(c)->notify_stress_stop(&r);
    return longs(env, {jlong(r.calls), jlong(r.nonzero), jlong(r.skipped)});
}

}  // extern "C"
