// The natives of JNI$Pointer: native blocks that Java code owns, either
// allocated here or the pinned elements of a Java array, shared through the
// registry and released by the free that drops their last reference.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pointer/registry.h"
#include "runtime/bridge.h"

#define POINTER_NATIVE(name) JNICALL Java_Orvalith_Base_JNI_00024Pointer_##name

static const char *const kBoundsException = "java/lang/ArrayIndexOutOfBoundsException";

// Builds the Java object (p, o, size).  Null after raising when the class or
// its constructor is missing.
static jobject NewPointerObject(JNIEnv *env, void *address, jobject array, jint size) {
    jclass cls = env->FindClass(ORV_POINTER_CLASS);
    if (cls == nullptr) {
        ThrowNewException(env, ORV_MSG_CLASS_NOT_FOUND);
        return nullptr;
    }
    jmethodID ctor = env->GetMethodID(cls, "<init>", "(JLjava/lang/Object;I)V");
    jobject obj = ctor != nullptr ? env->NewObject(cls, ctor, WidenAddress(address), array, size)
                                  : nullptr;
    env->DeleteLocalRef(cls);
    return obj;
}

static void ThrowBounds(JNIEnv *env, const char *message) {
    jclass cls = env->FindClass(kBoundsException);
    if (cls != nullptr) env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
}

static void ThrowNull(JNIEnv *env, const char *message) {
    jclass cls = env->FindClass("java/lang/NullPointerException");
    if (cls != nullptr) env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
}

// How one primitive array kind is pinned and handed back.
struct PinnedKind {
    jint element_size;
    void *(*pin)(JNIEnv *env, jarray array);
    void (*unpin)(JNIEnv *env, jarray array, void *elems, jint mode);
};

static void *PinInts(JNIEnv *env, jarray a) {
    return env->GetIntArrayElements(static_cast<jintArray>(a), nullptr);
}
static void UnpinInts(JNIEnv *env, jarray a, void *e, jint mode) {
    env->ReleaseIntArrayElements(static_cast<jintArray>(a), static_cast<jint *>(e), mode);
}
static void *PinLongs(JNIEnv *env, jarray a) {
    return env->GetLongArrayElements(static_cast<jlongArray>(a), nullptr);
}
static void UnpinLongs(JNIEnv *env, jarray a, void *e, jint mode) {
    env->ReleaseLongArrayElements(static_cast<jlongArray>(a), static_cast<jlong *>(e), mode);
}
static void *PinBytes(JNIEnv *env, jarray a) {
    return env->GetByteArrayElements(static_cast<jbyteArray>(a), nullptr);
}
static void UnpinBytes(JNIEnv *env, jarray a, void *e, jint mode) {
    env->ReleaseByteArrayElements(static_cast<jbyteArray>(a), static_cast<jbyte *>(e), mode);
}

static const PinnedKind kIntKind = {4, PinInts, UnpinInts};
static const PinnedKind kLongKind = {8, PinLongs, UnpinLongs};
static const PinnedKind kByteKind = {1, PinBytes, UnpinBytes};

// Pins the array and registers its elements plus offset.  A failure after
// pinning unregisters and unpins again, so nothing is left that no free
// could ever release.
static jobject PinArray(JNIEnv *env, jarray array, const PinnedKind &kind, jint offset) {
    if (array == nullptr) {
        ThrowNull(env, "array");
        return nullptr;
    }
    jsize length = env->GetArrayLength(array);
    if (offset < 0 || offset > length) {
        ThrowBounds(env, "offset outside the array");
        return nullptr;
    }
    void *elems = kind.pin(env, array);
    if (elems == nullptr) return nullptr;  // the VM's out-of-memory error is pending
    size_t skipped = static_cast<size_t>(offset) * kind.element_size;
    void *address = static_cast<char *>(elems) + skipped;
    BlockFacts facts = {static_cast<size_t>(length - offset) * kind.element_size, skipped};
    if (!RegistryAdd(address, facts)) {
        kind.unpin(env, array, elems, JNI_ABORT);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    jobject obj = NewPointerObject(env, address, array, (length - offset) * kind.element_size);
    if (obj == nullptr) {
        RegistryDelete(address);
        kind.unpin(env, array, elems, JNI_ABORT);
    }
    return obj;
}

// Registers a block from malloc and wraps it; on any failure the block is
// unregistered and freed again.
static jobject WrapAllocated(JNIEnv *env, void *block, jint size) {
    if (!RegistryAdd(block, BlockFacts{static_cast<size_t>(size), 0})) {
        free(block);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    jobject obj = NewPointerObject(env, block, nullptr, size);
    if (obj == nullptr && RegistryDelete(block)) free(block);
    return obj;
}

extern "C" {

JNIEXPORT jobject POINTER_NATIVE(getInstance___3I)(JNIEnv *env, jclass, jintArray a) {
    return PinArray(env, a, kIntKind, 0);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance___3J)(JNIEnv *env, jclass, jlongArray a) {
    return PinArray(env, a, kLongKind, 0);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance___3B)(JNIEnv *env, jclass, jbyteArray a) {
    return PinArray(env, a, kByteKind, 0);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance___3BI)(JNIEnv *env, jclass, jbyteArray a, jint offset) {
    return PinArray(env, a, kByteKind, offset);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance__I)(JNIEnv *env, jclass, jint size) {
    // malloc(0) may answer null on some C libraries; a zero-size block is
    // still a block.
    void *block = size >= 0 ? malloc(size > 0 ? static_cast<size_t>(size) : 1) : nullptr;
    if (block == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    return WrapAllocated(env, block, size);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance__Ljava_lang_String_2Z)(JNIEnv *env, jclass, jstring s,
                                                                   jboolean unicode) {
    if (s == nullptr) return NewPointerObject(env, nullptr, nullptr, 0);
    if (!unicode) {
        // The converted copy is already a terminated block from malloc.
        char *text = jstringToWindows(env, s);
        if (text == nullptr) return nullptr;
        // Characters the VM could not hand out give an empty text with the
        // VM's error pending: no block then, and no JNI call after the error.
        if (env->ExceptionCheck()) {
            free(text);
            return nullptr;
        }
        return WrapAllocated(env, text, static_cast<jint>(strlen(text) + 1));
    }
    const jchar *units = env->GetStringChars(s, nullptr);
    if (units == nullptr) return nullptr;
    jsize n = env->GetStringLength(s);
    jsize k = 0;
    while (k < n && units[k] != 0) k++;
    size_t bytes = 2 * static_cast<size_t>(k) + 2;
    jchar *block = static_cast<jchar *>(malloc(bytes));
    if (block == nullptr) {
        env->ReleaseStringChars(s, units);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    memcpy(block, units, 2 * static_cast<size_t>(k));
    block[k] = 0;
    env->ReleaseStringChars(s, units);
    return WrapAllocated(env, block, static_cast<jint>(bytes));
}

JNIEXPORT jbyte POINTER_NATIVE(getPlatformSize)(JNIEnv *, jclass) {
    return static_cast<jbyte>(sizeof(void *));
}

JNIEXPORT jbyte POINTER_NATIVE(getPlatformLongIntSize)(JNIEnv *, jclass) {
    return static_cast<jbyte>(sizeof(CK_ULONG));
}

JNIEXPORT void POINTER_NATIVE(addReference)(JNIEnv *env, jobject self) {
    bool found = false;
    void *p = GetPointerValue(env, self, &found);
    if (found && p != nullptr) RegistryIncref(p);
}

}  // extern "C"

static bool IsArrayOf(JNIEnv *env, jobject obj, const char *class_name) {
    jclass cls = env->FindClass(class_name);
    bool is = cls != nullptr && env->IsInstanceOf(obj, cls);
    env->DeleteLocalRef(cls);
    return is;
}

// Hands a pinned block back with mode 0, so what native code wrote reaches
// the array.  The VM wants the address it gave out, which for a block made
// with an offset lies that many bytes before the block; the registry keeps
// the offset, since "size" may have been rewritten since.
static void UnpinBlock(JNIEnv *env, jobject array, void *elems) {
    jarray a = static_cast<jarray>(array);
    if (IsArrayOf(env, array, "[I"))
        UnpinInts(env, a, elems, 0);
    else if (IsArrayOf(env, array, "[J"))
        UnpinLongs(env, a, elems, 0);
    else
        UnpinBytes(env, a, elems, 0);
}

// Moves the object to the released state: p 0, o null, size -1 (and on
// Windows "freed" true).
static void ClearPointer(JNIEnv *env, jobject self) {
    jclass cls = env->FindClass(ORV_POINTER_CLASS);
    if (cls == nullptr) {
        ThrowNewException(env, ORV_MSG_CLASS_NOT_FOUND);
        return;
    }
    if (!env->IsInstanceOf(self, cls)) {
        // A look-alike of another class: its own fields, found by name.
        SetLongField(env, self, "p", 0);
        SetObjectField(env, self, "o", nullptr);
        SetIntField(env, self, "size", -1);
    } else {
        env->SetLongField(self, env->GetFieldID(cls, "p", "J"), 0);
        env->SetObjectField(self, env->GetFieldID(cls, "o", "Ljava/lang/Object;"), nullptr);
        env->SetIntField(self, env->GetFieldID(cls, "size", "I"), -1);
#if defined(_WIN32)
        // A Java side built without the flag still gets its block freed;
        // the failed lookup is no error of the free.
        jfieldID freed = env->GetFieldID(cls, "freed", "Z");
        if (freed != nullptr)
            env->SetBooleanField(self, freed, JNI_TRUE);
        else
            env->ExceptionClear();
#endif
    }
    env->DeleteLocalRef(cls);
}

// How many bytes of the object's block a read may cover: "size", but never
// past the end of a block this library registered (after a platform call
// that asked for more room than the block has, "size" says how much).
static jint ReadableSize(JNIEnv *env, jobject self, void *p) {
    jint size = GetIntField(env, self, "size");
    BlockFacts facts;
    if (size > 0 && RegistryLookup(p, &facts) && static_cast<size_t>(size) > facts.length)
        return static_cast<jint>(facts.length);
    return size;
}

extern "C" {

JNIEXPORT void POINTER_NATIVE(free)(JNIEnv *env, jobject self) {
    bool found = false;
    void *p = GetPointerValue(env, self, &found);
    jobject array = GetObjectField(env, self, "o");
    BlockFacts facts;
    if (found && p != nullptr && RegistryDelete(p, &facts)) {
        if (array != nullptr)
            UnpinBlock(env, array, static_cast<char *>(p) - facts.pin_offset);
        else
            free(p);
        ClearPointer(env, self);
    }
    env->DeleteLocalRef(array);
}

JNIEXPORT jbyteArray POINTER_NATIVE(getContent)(JNIEnv *env, jobject self) {
    bool found = false;
    void *p = GetPointerValue(env, self, &found);
    if (!found) return nullptr;
    jint size = ReadableSize(env, self, p);
    if (p == nullptr && size > 0) return nullptr;  // never read address 0
    return bArr2jArr(env, static_cast<const unsigned char *>(p), size);
}

JNIEXPORT jstring POINTER_NATIVE(getContentAsString)(JNIEnv *env, jobject self, jboolean unicode) {
    bool found = false;
    void *p = GetPointerValue(env, self, &found);
    if (!found) return nullptr;
    if (p == nullptr) {
#if defined(_WIN32)
        return env->NewStringUTF("");
#else
        return nullptr;
#endif
    }
    if (!unicode) return WindowsTojstring(env, static_cast<const char *>(p));
    const jchar *units = static_cast<const jchar *>(p);
    jsize k = 0;
    while (units[k] != 0) k++;
    return env->NewString(units, k);
}

JNIEXPORT void POINTER_NATIVE(copy)(JNIEnv *env, jclass, jbyteArray src, jint src_offset,
                                    jobject dst, jint dst_offset, jint length) {
    if (length < 0 || src_offset < 0 || dst_offset < 0) {
        ThrowBounds(env, "negative offset or length");
        return;
    }
    if (length == 0) return;
    if (src == nullptr) {
        ThrowNull(env, "source array");
        return;
    }
    bool found = false;
    char *p = static_cast<char *>(GetPointerValue(env, dst, &found));
    if (!found) return;  // the missing-field exception is pending
    if (p == nullptr) {
        ThrowBounds(env, "destination has no block");
        return;
    }
    // A block this library made has a known length, whatever "size" says by
    // now; memory owned by someone else may carry a guessed size, so only its
    // address is checked.
    BlockFacts facts;
    if (RegistryLookup(p, &facts) &&
        static_cast<uint64_t>(dst_offset) + static_cast<uint64_t>(length) > facts.length) {
        ThrowBounds(env, "range outside the destination block");
        return;
    }
    // Bounds-checked by the VM against the source array; nothing is copied
    // when the source range is out of bounds.
    env->GetByteArrayRegion(src, src_offset, length, reinterpret_cast<jbyte *>(p + dst_offset));
}

JNIEXPORT jlongArray POINTER_NATIVE(getNativeArrayAsLongs)(JNIEnv *env, jobject self) {
    bool found = false;
    const long *p = static_cast<const long *>(GetPointerValue(env, self, &found));
    if (!found) return nullptr;
    jint size = ReadableSize(env, self, const_cast<long *>(p));
    jsize n = size > 0 && p != nullptr ? size / static_cast<jint>(sizeof(long)) : 0;
    jlongArray result = env->NewLongArray(n);
    if (result == nullptr || n == 0) return result;
    jlong *elems = env->GetLongArrayElements(result, nullptr);
    if (elems == nullptr) return result;
    // A block made with an offset into a byte[] need not be aligned for a
    // long: each element is copied out byte-wise (MIPS32 traps on a
    // misaligned load).
    const char *bytes = reinterpret_cast<const char *>(p);
    for (jsize i = 0; i < n; i++) {
        long value;
        memcpy(&value, bytes + static_cast<size_t>(i) * sizeof value, sizeof value);
        elems[i] = static_cast<jlong>(value);  // signed, as native longs are
    }
    env->ReleaseLongArrayElements(result, elems, 0);
    return result;
}

}  // extern "C"
