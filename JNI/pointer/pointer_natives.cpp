// The natives of JNI$Pointer: native blocks that Java code owns, either
// allocated here or the pinned elements of a Java array, shared through the
// registry and released by the free that drops their last reference.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pointer/registry.h"
#include "runtime/trace.h"
#include "runtime/bridge.h"

#define POINTER_NATIVE(name) JNICALL Java_Orvalith_Base_JNI_00024Pointer_##name

static const char *const kBoundsException = "java/lang/ArrayIndexOutOfBoundsException";

// Builds the Java object (p, o, size) of the class JNI$Pointer.  The
// getInstance natives are static methods of that class, so the VM hands
// them the class itself (given): no lookup by name, which costs a walk of
// the caller's frames for its class loader on every block.  Without it
// (null) the class is found by name.  Null after raising when the class or
// its constructor is missing.
static jobject NewPointerObject(JNIEnv *env, jclass given, void *address, jobject array, jint size) {
    jclass cls = given != nullptr ? given : env->FindClass(ORV_POINTER_CLASS);
    if (cls == nullptr) {
        ThrowNewException(env, ORV_MSG_CLASS_NOT_FOUND);
        return nullptr;
    }
    jmethodID ctor = env->GetMethodID(cls, "<init>", "(JLjava/lang/Object;I)V");
    jobject obj = ctor != nullptr ? env->NewObject(cls, ctor, WidenAddress(address), array, size)
                                  : nullptr;
    if (given == nullptr) env->DeleteLocalRef(cls);
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

// How one primitive array kind is pinned and handed back; indexed by the
// BlockKind that the registry keeps for the block.
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

static const PinnedKind kPinnedKinds[] = {
    /* kBlockAllocated */ {0, nullptr, nullptr},
    /* kBlockPinnedBytes */ {1, PinBytes, UnpinBytes},
    /* kBlockPinnedInts */ {4, PinInts, UnpinInts},
    /* kBlockPinnedLongs */ {8, PinLongs, UnpinLongs},
};
static_assert(sizeof kPinnedKinds / sizeof kPinnedKinds[0] == kBlockPinnedLongs + 1,
              "one entry per block kind");

// Hands a block back as it was made: a heap block to free, pinned elements
// to the VM from the address it gave out (which for a block made with an
// offset lies that many bytes before the block) and the array's global
// reference with them.  Mode 0 on a free copies what native code wrote
// back into the array; a failed getInstance gives JNI_ABORT.
static void ReleaseBlock(JNIEnv *env, const BlockRecord &block, jint mode) {
    if (block.kind == kBlockAllocated) {
        free(block.address);
        return;
    }
    void *elems = static_cast<char *>(block.address) - block.pin_offset;
    kPinnedKinds[block.kind].unpin(env, static_cast<jarray>(block.array), elems, mode);
    env->DeleteGlobalRef(block.array);
}

// Registers a block and wraps it in (address, array, length).  On any
// failure the registration is undone and the block released again, so
// nothing is left that no free could ever release.
static jobject RegisterAndWrap(JNIEnv *env, jclass cls, const BlockRecord &block, jobject array) {
    RegistryResult added = RegistryAdd(&block);
    if (added == kRegistryNoMemory) {
        ReleaseBlock(env, block, JNI_ABORT);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    if (added == kRegistryShared && block.kind != kBlockAllocated) {
        // The VM pinned the array in place and the same elements are a
        // block already: that block's record releases them, so this pin
        // (which holds nothing the first does not) goes back now.  (A heap
        // block stays whatever the registry says: it is this Pointer's.)
        ReleaseBlock(env, block, JNI_ABORT);
    }
    jobject obj = NewPointerObject(env, cls, block.address, array, static_cast<jint>(block.length));
    BlockRecord last;
    if (obj == nullptr && RegistryDelete(block.address, &last)) ReleaseBlock(env, last, JNI_ABORT);
    return obj;
}

// The record of a heap block from malloc, length bytes long.
static BlockRecord AllocatedBlock(void *block, size_t length) {
    return BlockRecord{block, nullptr, static_cast<uint32_t>(length), 0, 1, kBlockAllocated};
}

// "size" is a Java int: a block longer than that cannot be described.
static const int64_t kLongestBlock = INT32_MAX;

// An empty array has no elements to pin, and a VM may hand out one address
// for the elements of every empty array, which would make unrelated
// Pointers one registered block.  Such a Pointer gets a heap block of its
// own instead ("o" still names the array); free releases it like any
// other.
static jobject WrapEmptyArray(JNIEnv *env, jclass cls, jarray array) {
    void *token = malloc(1);
    if (token == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    BlockRecord block = AllocatedBlock(token, 0);
    return RegisterAndWrap(env, cls, block, array);
}

// Pins the array and registers its elements plus offset, with what it
// takes to hand them back: the kind, the array (as a global reference) and
// the pinned address.
static jobject PinArray(JNIEnv *env, jclass cls, jarray array, BlockKind kind, jint offset) {
    if (array == nullptr) {
        ThrowNull(env, "array");
        return nullptr;
    }
    jsize length = env->GetArrayLength(array);
    if (offset < 0 || offset > length) {
        ThrowBounds(env, "offset outside the array");
        return nullptr;
    }
    const PinnedKind &how = kPinnedKinds[kind];
    int64_t bytes = static_cast<int64_t>(length - offset) * how.element_size;
    if (bytes > kLongestBlock) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    if (length == 0) return WrapEmptyArray(env, cls, array);
    void *elems = how.pin(env, array);
    if (elems == nullptr) return nullptr;  // the VM's out-of-memory error is pending
    jobject held = env->NewGlobalRef(array);
    if (held == nullptr) {
        how.unpin(env, array, elems, JNI_ABORT);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    uint32_t skipped = static_cast<uint32_t>(offset) * static_cast<uint32_t>(how.element_size);
    BlockRecord block = {static_cast<char *>(elems) + skipped, held, static_cast<uint32_t>(bytes),
                         skipped, 1, static_cast<uint8_t>(kind)};
    return RegisterAndWrap(env, cls, block, array);
}

// Registers a block from malloc of the given length and wraps it.
static jobject WrapAllocated(JNIEnv *env, jclass cls, void *block, size_t length) {
    if (length > static_cast<size_t>(kLongestBlock)) {
        free(block);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    return RegisterAndWrap(env, cls, AllocatedBlock(block, length), nullptr);
}

extern "C" {

JNIEXPORT jobject POINTER_NATIVE(getInstance___3I)(JNIEnv *env, jclass cls, jintArray a) {
    return PinArray(env, cls, a, kBlockPinnedInts, 0);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance___3J)(JNIEnv *env, jclass cls, jlongArray a) {
    return PinArray(env, cls, a, kBlockPinnedLongs, 0);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance___3B)(JNIEnv *env, jclass cls, jbyteArray a) {
    return PinArray(env, cls, a, kBlockPinnedBytes, 0);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance___3BI)(JNIEnv *env, jclass cls, jbyteArray a, jint offset) {
    return PinArray(env, cls, a, kBlockPinnedBytes, offset);
}

JNIEXPORT jobject POINTER_NATIVE(getInstance__I)(JNIEnv *env, jclass cls, jint size) {
    // malloc(0) may answer null on some C libraries; a zero-size block is
    // still a block.
    void *block = size >= 0 ? malloc(size > 0 ? static_cast<size_t>(size) : 1) : nullptr;
    if (block == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    return WrapAllocated(env, cls, block, static_cast<size_t>(size));
}

JNIEXPORT jobject POINTER_NATIVE(getInstance__Ljava_lang_String_2Z)(JNIEnv *env, jclass cls, jstring s,
                                                                   jboolean unicode) {
    if (s == nullptr) return NewPointerObject(env, cls, nullptr, nullptr, 0);
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
        return WrapAllocated(env, cls, text, strlen(text) + 1);
    }
    const jchar *units = env->GetStringChars(s, nullptr);
    if (units == nullptr) return nullptr;
    jsize n = env->GetStringLength(s);
    jsize k = 0;
    while (k < n && units[k] != 0) k++;
    // Past the longest block "size" can describe is out of memory too
    // (and 2k + 2 would not even fit a 32-bit size_t).
    size_t bytes = 2 * static_cast<int64_t>(k) + 2 <= kLongestBlock ? 2 * static_cast<size_t>(k) + 2 : 0;
    jchar *block = bytes > 0 ? static_cast<jchar *>(malloc(bytes)) : nullptr;
    if (block == nullptr) {
        env->ReleaseStringChars(s, units);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    memcpy(block, units, 2 * static_cast<size_t>(k));
    block[k] = 0;
    env->ReleaseStringChars(s, units);
    return WrapAllocated(env, cls, block, bytes);
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
// False, with the accessor's exception pending, when there is no "size".
static bool ReadableSize(JNIEnv *env, jobject self, void *p, jint *size) {
    *size = GetIntField(env, self, "size");
    if (env->ExceptionCheck()) return false;
    BlockRecord block;
    if (*size > 0 && RegistryLookup(p, &block) && static_cast<uint32_t>(*size) > block.length)
        *size = static_cast<jint>(block.length);
    return true;
}

// The text of a block in the platform's native encoding: up to its first
// NUL, and within a registered block never past its end (no NUL inside:
// the whole block is the text).  An unregistered address is trusted to be
// terminated.
static jstring NativeText(JNIEnv *env, const char *p) {
    BlockRecord block;
    if (!RegistryLookup(const_cast<char *>(p), &block) || memchr(p, 0, block.length) != nullptr)
        return WindowsTojstring(env, p);
    char *text = static_cast<char *>(malloc(static_cast<size_t>(block.length) + 1));
    if (text == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    memcpy(text, p, block.length);
    text[block.length] = '\0';
    jstring result = WindowsTojstring(env, text);
    free(text);
    return result;
}

// UTF-16 units up to the first zero unit, bounded the same way.  A block
// made at an odd offset of a byte[] is not aligned for a unit: its units
// are read byte-wise and handed to the VM from an aligned copy (MIPS32
// traps on a misaligned load).
static jstring WideText(JNIEnv *env, const char *bytes) {
    BlockRecord block;
    size_t limit = RegistryLookup(const_cast<char *>(bytes), &block) ? block.length / 2 : SIZE_MAX;
    size_t k = 0;
    for (jchar unit = 0; k < limit; k++) {
        memcpy(&unit, bytes + 2 * k, sizeof unit);
        if (unit == 0) break;
    }
    if (reinterpret_cast<uintptr_t>(bytes) % alignof(jchar) == 0)
        return env->NewString(reinterpret_cast<const jchar *>(bytes), static_cast<jsize>(k));
    jchar *units = static_cast<jchar *>(malloc(k > 0 ? 2 * k : 1));
    if (units == nullptr) {
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    memcpy(units, bytes, 2 * k);
    jstring result = env->NewString(units, static_cast<jsize>(k));
    free(units);
    return result;
}

extern "C" {

JNIEXPORT void POINTER_NATIVE(free)(JNIEnv *env, jobject self) {
    bool found = false;
    void *p = GetPointerValue(env, self, &found);
    if (!found) return;  // the missing-field exception is pending
    // A Pointer needs its "o" even though the release goes by what was
    // registered: an object without one is no Pointer, and nothing changes.
    jobject array = GetObjectField(env, self, "o");
    if (env->ExceptionCheck()) return;
    env->DeleteLocalRef(array);
    // Whichever holder drops the last reference, with whatever "o" it has,
    // the block goes back as it was made.
    BlockRecord block;
    if (p == nullptr || !RegistryDelete(p, &block)) return;
    ReleaseBlock(env, block, 0);
    ClearPointer(env, self);
}

JNIEXPORT jbyteArray POINTER_NATIVE(getContent)(JNIEnv *env, jobject self) {
    bool found = false;
    void *p = GetPointerValue(env, self, &found);
    jint size = 0;
    if (!found || !ReadableSize(env, self, p, &size)) return nullptr;
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
    return unicode ? WideText(env, static_cast<const char *>(p)) : NativeText(env, static_cast<const char *>(p));
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
    BlockRecord block;
    if (RegistryLookup(p, &block) &&
        static_cast<uint64_t>(dst_offset) + static_cast<uint64_t>(length) > block.length) {
        if (TraceOn())
            TraceDecision("Pointer.copy", "refused: %ld bytes at offset %ld do not fit the %lu-byte block 0x%lx",
                          static_cast<long>(length), static_cast<long>(dst_offset),
                          static_cast<unsigned long>(block.length), TraceBits(p));
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
    jint size = 0;
    if (!found || !ReadableSize(env, self, const_cast<long *>(p), &size)) return nullptr;
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
