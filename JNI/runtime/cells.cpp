// One-element reference cells.  A cell is read with JNI_ABORT, so reading
// never writes the Java array back, and written with mode 0, so the value
// reaches the Java array also when the VM handed out a copy.
#include "runtime/bridge.h"

// The JNI calls that reach one cell kind's elements.
template <typename Array, typename Elem>
struct CellAccess {
    Elem *(JNIEnv::*get)(Array, jboolean *);
    void (JNIEnv::*release)(Array, Elem *, jint);
};

static const CellAccess<jintArray, jint> kIntCell = {&JNIEnv::GetIntArrayElements,
                                                     &JNIEnv::ReleaseIntArrayElements};
static const CellAccess<jlongArray, jlong> kLongCell = {&JNIEnv::GetLongArrayElements,
                                                        &JNIEnv::ReleaseLongArrayElements};
static const CellAccess<jbooleanArray, jboolean> kBoolCell = {
    &JNIEnv::GetBooleanArrayElements, &JNIEnv::ReleaseBooleanArrayElements};

bool CellUsable(JNIEnv *env, jarray cell) {
    if (cell == nullptr) return false;
    jthrowable held = ShelvePending(env);
    bool usable = env->GetArrayLength(cell) >= 1;
    RestorePending(env, held);
    return usable;
}

// A cell that is null, empty, or whose elements the VM cannot supply is not
// usable: reading gives false and leaves *value alone, writing does nothing.
template <typename Array, typename Elem>
static bool ReadCell(JNIEnv *env, const CellAccess<Array, Elem> &access, Array cell, Elem *value) {
    if (cell == nullptr) return false;
    jthrowable held = ShelvePending(env);
    bool usable = env->GetArrayLength(cell) >= 1;
    Elem *elems = usable ? (env->*access.get)(cell, nullptr) : nullptr;
    if (elems != nullptr) {
        *value = elems[0];
        (env->*access.release)(cell, elems, JNI_ABORT);
    }
    RestorePending(env, held);
    return elems != nullptr;
}

template <typename Array, typename Elem>
static bool WriteCell(JNIEnv *env, const CellAccess<Array, Elem> &access, Array cell, Elem value) {
    if (cell == nullptr) return false;
    jthrowable held = ShelvePending(env);
    bool usable = env->GetArrayLength(cell) >= 1;
    Elem *elems = usable ? (env->*access.get)(cell, nullptr) : nullptr;
    if (elems != nullptr) {
        elems[0] = value;
        (env->*access.release)(cell, elems, 0);
    }
    RestorePending(env, held);
    return elems != nullptr;
}

bool ReadLongCell(JNIEnv *env, jlongArray cell, jlong *value) {
    return ReadCell(env, kLongCell, cell, value);
}

bool WriteLongCell(JNIEnv *env, jlongArray cell, jlong value) {
    return WriteCell(env, kLongCell, cell, value);
}

jint GetIntRefValue(JNIEnv *env, jintArray cell) {
    jint value = 0;
    ReadCell(env, kIntCell, cell, &value);
    return value;
}

jlong GetLongRefValue(JNIEnv *env, jlongArray cell) {
    jlong value = 0;
    ReadLongCell(env, cell, &value);
    return value;
}

void SetBoolRef(JNIEnv *env, jbooleanArray cell, unsigned char value) {
    WriteCell(env, kBoolCell, cell, static_cast<jboolean>(value));
}

void SetIntRef(JNIEnv *env, jintArray cell, jint value) { WriteCell(env, kIntCell, cell, value); }

void SetLongRef(JNIEnv *env, jlongArray cell, jlong value) { WriteLongCell(env, cell, value); }
