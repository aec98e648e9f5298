// The shared steps of the Windows natives: strings, blocks, cells and the
// Pointer update after a call.
#if defined(_WIN32)
#include "windows/conventions.h"

#include "pointer/registry.h"

#include <stdlib.h>
#include <string.h>

bool TakeWideText(JNIEnv *env, jstring s, bool empty_as_null, WideText *out) {
    *out = WideText{s, nullptr, nullptr};
    if (s == nullptr) return true;
    jsize n = env->GetStringLength(s);
    if (n == 0 && empty_as_null) return true;
    out->chars = env->GetStringChars(s, nullptr);
    if (out->chars == nullptr) return false;  // the VM's out-of-memory error is pending
    // GetStringChars promises no terminator, the platform needs one.
    out->text = static_cast<WCHAR *>(malloc((static_cast<size_t>(n) + 1) * sizeof(WCHAR)));
    if (out->text == nullptr) {
        ReleaseWideText(env, out);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return false;
    }
    memcpy(out->text, out->chars, static_cast<size_t>(n) * sizeof(WCHAR));
    out->text[n] = 0;
    return true;
}

void ReleaseWideText(JNIEnv *env, WideText *text) {
    if (text->chars != nullptr) env->ReleaseStringChars(text->string, text->chars);
    free(text->text);
    *text = WideText{nullptr, nullptr, nullptr};
}

bool TakeAnsiText(JNIEnv *env, jstring s, char **out) {
    *out = s != nullptr ? jstringToWindows(env, s) : nullptr;
    return s == nullptr || *out != nullptr;
}

bool ReadBlock(JNIEnv *env, jobject pointer, void **block) {
    bool found = false;
    *block = GetPointerValue(env, pointer, &found);
    if (!found) *block = nullptr;
    return found;
}

bool FitsBlock(const void *block, size_t count, size_t item_size) {
    if (item_size != 0 && count > SIZE_MAX / item_size) return false;
    BlockFacts facts;
    return !RegistryLookup(const_cast<void *>(block), &facts) || count * item_size <= facts.length;
}

// Element 0 of an int[] or boolean[] cell, by the same steps as the long
// cells of the runtime: an exception already pending is set aside around
// the access, so a write after a failed Pointer update still lands.
template <typename Array, typename Elem>
struct CellCalls {
    Elem *(JNIEnv::*get)(Array, jboolean *);
    void (JNIEnv::*release)(Array, Elem *, jint);
};
static const CellCalls<jintArray, jint> kIntCell = {&JNIEnv::GetIntArrayElements,
                                                    &JNIEnv::ReleaseIntArrayElements};
static const CellCalls<jbooleanArray, jboolean> kBoolCell = {
    &JNIEnv::GetBooleanArrayElements, &JNIEnv::ReleaseBooleanArrayElements};

template <typename Array, typename Elem>
static bool AccessCell(JNIEnv *env, const CellCalls<Array, Elem> &calls, Array cell, Elem *value,
                       bool write) {
    if (cell == nullptr) return false;
    jthrowable held = ShelvePending(env);
    Elem *elems = env->GetArrayLength(cell) >= 1 ? (env->*calls.get)(cell, nullptr) : nullptr;
    if (elems != nullptr) {
        if (write)
            elems[0] = *value;
        else
            *value = elems[0];
        (env->*calls.release)(cell, elems, write ? 0 : JNI_ABORT);
    }
    RestorePending(env, held);
    return elems != nullptr;
}

bool ReadDwordCell(JNIEnv *env, jintArray cell, DWORD *value) {
    jint element = 0;
    bool usable = AccessCell(env, kIntCell, cell, &element, false);
    *value = static_cast<DWORD>(element);
    return usable;
}

bool WriteDwordCell(JNIEnv *env, jintArray cell, DWORD value) {
    jint element = static_cast<jint>(value);
    return AccessCell(env, kIntCell, cell, &element, true);
}

bool ReadHandleCell(JNIEnv *env, jlongArray cell, ULONG_PTR *handle) {
    jlong element = 0;
    bool usable = ReadLongCell(env, cell, &element);
    *handle = static_cast<ULONG_PTR>(static_cast<uint64_t>(element));
    return usable;
}

bool WriteHandleCell(JNIEnv *env, jlongArray cell, ULONG_PTR handle) {
    return WriteLongCell(env, cell, HandleOut(handle));
}

bool WriteSignedCell(JNIEnv *env, jlongArray cell, const void *value) {
    return WriteLongCell(env, cell, SignedOut(value));
}

bool WriteFlagCell(JNIEnv *env, jbooleanArray cell, BOOL value) {
    jboolean element = static_cast<jboolean>(value & 0xFF);
    return AccessCell(env, kBoolCell, cell, &element, true);
}

void UpdateDataPointer(JNIEnv *env, jobject pointer, void *block, DWORD length) {
    if (block != nullptr) SetPointerValue(env, pointer, block, static_cast<jint>(length));
}

bool ReadDataWithLength(JNIEnv *env, jobject pointer, jintArray cell, DataWithLength *data) {
    *data = DataWithLength{nullptr, 0};
    return ReadBlock(env, pointer, &data->block) && ReadDwordCell(env, cell, &data->length);
}

void WriteDataWithLength(JNIEnv *env, jobject pointer, jintArray cell, const DataWithLength &data) {
    WriteDwordCell(env, cell, data.length);
    UpdateDataPointer(env, pointer, data.block, data.length);
}

#endif
