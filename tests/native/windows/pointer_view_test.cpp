// JNI$Pointer views made or updated for platform memory: never
// registered, addresses sign-extended.
#include "pointer/pointer_windows.h"
#include "pointer/registry.h"
#include "windows_support.h"

// An address above 2 GiB, never dereferenced: only its bits matter.
static void *const kHighAddress = reinterpret_cast<void *>(static_cast<uintptr_t>(0x80001000u));
static const jlong kHighAddressInJava = -0x7FFFF000LL;  // 0xFFFFFFFF80001000

TEST_F(WindowsTest, NewPointerWrapsAnAddressWithoutRegistering) {
    jobject view = NewPointer(env, kHighAddress, 5);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(fakejni::class_name(vm, view), ORV_POINTER_CLASS);
    EXPECT_EQ(P(view), kHighAddressInJava);
    EXPECT_EQ(Size(view), 5);
    jobject o = fakejni::object_field(env, view, "o");
    EXPECT_EQ(o, nullptr);
    EXPECT_FALSE(RegistryKnows(kHighAddress));

    jobject empty = NewPointer(env, nullptr, 9);
    EXPECT_EQ(P(empty), 0);
    EXPECT_EQ(Size(empty), -1);
}

TEST_F(WindowsTest, SetPointerValueLeavesTheArrayAlone) {
    jbyteArray array = fakejni::new_byte_array(env, {1, 2});
    jobject ptr = Pointer(nullptr, 0, array);
    SetPointerValue(env, ptr, kHighAddress, 3);
    EXPECT_EQ(P(ptr), kHighAddressInJava);
    EXPECT_EQ(Size(ptr), 3);
    jobject o = fakejni::object_field(env, ptr, "o");
    EXPECT_EQ(fakejni::identity(vm, o), fakejni::identity(vm, array));
    env->DeleteLocalRef(o);

    // A class of its own with the same fields gets them by its own IDs.
    fakejni::define_class(vm, "test/LookAlike", "java/lang/Object", {{"p", "J"}, {"size", "I"}});
    jobject alike = fakejni::new_object(env, "test/LookAlike");
    SetPointerValue(env, alike, kHighAddress, 4);
    EXPECT_EQ(P(alike), kHighAddressInJava);
    EXPECT_EQ(Size(alike), 4);
}

TEST_F(WindowsTest, ViewsWithoutTheirClassOrConstructor) {
    jobject ptr = Pointer(nullptr, 1);
    fakejni::fail_find_class(vm, ORV_POINTER_CLASS);
    SetPointerValue(env, ptr, kHighAddress, 3);
    EXPECT_EQ(TakeException(), "Class not found");
    EXPECT_EQ(P(ptr), 0);
    EXPECT_EQ(Size(ptr), 1);
    EXPECT_EQ(NewPointer(env, kHighAddress, 3), nullptr);
    EXPECT_EQ(TakeException(), "Class not found");
    fakejni::reset_faults(vm);

    fakejni::fail_get_method(vm, ORV_POINTER_CLASS, "<init>", "(JLjava/lang/Object;I)V");
    EXPECT_EQ(NewPointer(env, kHighAddress, 3), nullptr);
    EXPECT_EQ(TakeException(), "Method not found");
}
