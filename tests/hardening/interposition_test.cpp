// The bridge's calls to its own exported helpers stay inside the library
// even when an object loaded before it (here a preloaded one, see
// interposer.c) exports functions of the same names: each case drives one
// such internal call and checks both the bridge's own result and that the
// look-alike never ran.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <jni.h>
#include <p11-kit/pkcs11.h>

#include "fakejni.h"

namespace {

struct Bridge {
    void *library = nullptr;
    int *interposer_calls = nullptr;
    JNIEnv *env = nullptr;
    fakejni::Vm *vm = nullptr;

    template <typename F>
    F Get(const char *name) {
        return reinterpret_cast<F>(dlsym(library, name));
    }
};

class InterpositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        b.interposer_calls = static_cast<int *>(dlsym(RTLD_DEFAULT, "interposer_calls"));
        ASSERT_NE(b.interposer_calls, nullptr) << "the look-alike library is not preloaded";
        b.library = dlopen(ORVJNI_DELIVERABLE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(b.library, nullptr) << dlerror();
        // The look-alike does win the global lookup; otherwise nothing is shown.
        for (const char *name : {"plist_free", "ThrowNewException", "GetLongField"}) {
            void *global = dlsym(RTLD_DEFAULT, name);
            ASSERT_NE(global, nullptr) << name;
            ASSERT_NE(global, dlsym(b.library, name)) << name;
        }
        b.vm = fakejni::create_vm();
        b.env = fakejni::env(b.vm);
        *b.Get<JavaVM **>("jvm") = fakejni::java_vm(b.vm);
        *b.interposer_calls = 0;
    }
    void TearDown() override {
        EXPECT_EQ(*b.interposer_calls, 0) << "a bridge call reached the look-alike";
        if (b.vm != nullptr) {
            EXPECT_EQ(fakejni::violations(b.vm), std::vector<std::string>{});
            *b.Get<JavaVM **>("jvm") = nullptr;
            fakejni::destroy_vm(b.vm);
        }
        // Left loaded: the library keeps no process-wide state worth dropping.
    }
    Bridge b;
};

struct BlockNode;
struct Plist {
    BlockNode *head;
    int32_t count;
};

TEST_F(InterpositionTest, ResetFreesThroughTheBridgesOwnListCode) {
    auto plist_new = b.Get<void (*)(Plist *)>("plist_new");
    auto plist_add = b.Get<void (*)(Plist *, void *)>("plist_add");
    auto plist_reset = b.Get<void (*)(Plist *)>("plist_reset");
    Plist list;
    plist_new(&list);
    int blocks[3];
    for (int &block : blocks) plist_add(&list, &block);
    ASSERT_EQ(list.count, 3);
    plist_reset(&list);  // plist_free, then plist_new
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.count, 0);
}

TEST_F(InterpositionTest, NativesRaiseThroughTheBridgesOwnThrow) {
    auto get_instance = b.Get<jobject(JNICALL *)(JNIEnv *, jclass, jint)>(
        "Java_Orvalith_Base_JNI_00024Pointer_getInstance__I");
    EXPECT_EQ(get_instance(b.env, nullptr, -1), nullptr);
    fakejni::PendingException e = fakejni::pending_exception(b.env);
    EXPECT_TRUE(e.present);
    EXPECT_EQ(e.class_name, "java/lang/Exception");
    EXPECT_EQ(e.message, "Out of memory");
    fakejni::clear_exception(b.env);
}

TEST_F(InterpositionTest, InitializeArgumentsReadThroughTheBridgesOwnAccessor) {
    auto to_args = b.Get<void (*)(JNIEnv *, jobject, CK_C_INITIALIZE_ARGS *)>("ObjToSimpleInitializeArgs");
    jobject args = fakejni::new_object(b.env, "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS");
    fakejni::set_long_field(b.vm, args, "flags", CKF_OS_LOCKING_OK);
    fakejni::set_long_field(b.vm, args, "pReserved", 0);
    CK_C_INITIALIZE_ARGS record = {};
    to_args(b.env, args, &record);
    EXPECT_EQ(record.flags, static_cast<CK_FLAGS>(CKF_OS_LOCKING_OK));
    EXPECT_EQ(record.pReserved, nullptr);
    EXPECT_FALSE(fakejni::pending_exception(b.env).present);
    b.env->DeleteLocalRef(args);
}

}  // namespace
