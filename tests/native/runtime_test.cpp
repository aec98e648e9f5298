// Exceptions, strings, field accessors and cells of the bridge runtime.
#include <stdlib.h>
#include <string.h>

#include <thread>

#include "support.h"

class RuntimeTest : public VmTest {
protected:
    void SetUp() override {
        VmTest::SetUp();
        fakejni::define_class(vm, "test/Fields", "java/lang/Object",
                              {{"size", "I"}, {"count", "J"}, {"ratio", "D"}, {"on", "Z"},
                               {"name", "Ljava/lang/String;"}, {"thing", "Ljava/lang/Object;"},
                               {"bytes", "[B"}, {"wide", "J"}});
        fakejni::define_class(vm, "test/Empty");
        obj = fakejni::new_object(env, "test/Fields");
        empty = fakejni::new_object(env, "test/Empty");
    }
    jobject obj = nullptr;
    jobject empty = nullptr;
};

TEST_F(RuntimeTest, MissingFieldMessagesAreCutAt49Characters) {
    struct Case {
        std::string name;
        std::string message;
    } cases[] = {
        {"size", "Can't find size field in class."},
        // 22 characters: exactly 49 characters of message.
        {"abcdefghijklmnopqrstuv", "Can't find abcdefghijklmnopqrstuv field in class."},
        // 30 characters: the message stops after its 49th character.
        {"abcdefghijklmnopqrstuvwxyz0123", "Can't find abcdefghijklmnopqrstuvwxyz0123 field i"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(GetIntField(env, empty, c.name.c_str()), -1);
        EXPECT_EQ(TakeException(), c.message);
    }
}

TEST_F(RuntimeTest, MissingMemberFallbacks) {
    EXPECT_EQ(GetLongField(env, empty, "count"), -1);
    TakeException();
    EXPECT_EQ(GetDoubleField(env, empty, "ratio"), -1.0);
    TakeException();
    EXPECT_EQ(GetBoolField(env, empty, "on"), 255);
    TakeException();
    EXPECT_EQ(GetStringField(env, empty, "name"), nullptr);
    TakeException();
    EXPECT_EQ(GetObjectField(env, empty, "thing"), nullptr);
    TakeException();
    jbyteArray array = nullptr;
    EXPECT_EQ(GetByteArrayField(env, empty, "bytes", &array), nullptr);
    EXPECT_EQ(array, nullptr);
    TakeException();
    // A long field read as int does not match its signature.
    EXPECT_EQ(GetIntField(env, obj, "wide"), -1);
    EXPECT_EQ(TakeException(), "Can't find wide field in class.");
    SetIntField(env, empty, "size", 5);
    EXPECT_EQ(TakeException(), "Can't find size field in class.");
    EXPECT_EQ(fakejni::local_refs(env), locals_at_start + 2);  // obj and empty only
}

TEST_F(RuntimeTest, GettersAndSettersRoundTrip) {
    SetIntField(env, obj, "size", 70000);
    SetLongField(env, obj, "count", static_cast<unsigned long>(-1));
    SetDoubleField(env, obj, "ratio", 2.5);
    SetBoolField(env, obj, "on", 1);
    jstring name = Str(u"n\u00e9");
    SetStringField(env, obj, "name", name);
    SetObjectField(env, obj, "thing", name);
    EXPECT_EQ(GetIntField(env, obj, "size"), 70000);
    // The platform's unsigned long widens without sign.
    EXPECT_EQ(static_cast<uint64_t>(GetLongField(env, obj, "count")),
              static_cast<uint64_t>(static_cast<unsigned long>(-1)));
    EXPECT_EQ(GetDoubleField(env, obj, "ratio"), 2.5);
    EXPECT_EQ(GetBoolField(env, obj, "on"), 1);
    jstring back = GetStringField(env, obj, "name");
    EXPECT_EQ(fakejni::string_chars(vm, back), u"n\u00e9");
    jobject thing = GetObjectField(env, obj, "thing");
    EXPECT_TRUE(env->IsSameObject(thing, name));
    jbyteArray bytes = fakejni::new_byte_array(env, {1, 2, 3});
    fakejni::set_object_field(vm, obj, "bytes", bytes);
    jbyteArray array = nullptr;
    jbyte *elems = GetByteArrayField(env, obj, "bytes", &array);
    ASSERT_NE(elems, nullptr);
    EXPECT_EQ(elems[2], 3);
    env->ReleaseByteArrayElements(array, elems, JNI_ABORT);
    EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
}

TEST_F(RuntimeTest, AccessorsWorkWithAnExceptionPending) {
    SetLongField(env, obj, "count", 42);
    ThrowNewException(env, "earlier");
    // The field exists: it must read as itself, and the earlier exception
    // must still be the one pending, with nothing called while it was.
    EXPECT_EQ(GetLongField(env, obj, "count"), 42);
    jlongArray cell = fakejni::new_long_array(env, {9});
    EXPECT_EQ(GetLongRefValue(env, cell), 9);
    SetLongRef(env, cell, 10);
    EXPECT_EQ(fakejni::long_elements(vm, cell)[0], 10);
    EXPECT_EQ(TakeException(), "earlier");
    // A missing field raises its own exception, which replaces the older.
    ThrowNewException(env, "earlier");
    EXPECT_EQ(GetLongField(env, empty, "count"), -1);
    EXPECT_EQ(TakeException(), "Can't find count field in class.");
}

TEST_F(RuntimeTest, CellsReadWithAbortAndWriteWithCopyBack) {
    fakejni::set_copy_elements(vm, true);
    jintArray ints = fakejni::new_int_array(env, {7});
    jlongArray longs = fakejni::new_long_array(env, {-3});
    jbooleanArray bools = fakejni::new_boolean_array(env, {0});
    EXPECT_EQ(GetIntRefValue(env, ints), 7);
    EXPECT_EQ(GetLongRefValue(env, longs), -3);
    SetIntRef(env, ints, 8);
    SetLongRef(env, longs, 0xFFFFFFFFLL);
    SetBoolRef(env, bools, 1);
    EXPECT_EQ(fakejni::int_elements(vm, ints)[0], 8);
    EXPECT_EQ(fakejni::long_elements(vm, longs)[0], 4294967295LL);
    EXPECT_EQ(fakejni::boolean_elements(vm, bools)[0], 1);
    EXPECT_EQ(fakejni::array_stats(vm, ints).release_modes, (std::vector<jint>{JNI_ABORT, 0}));
    EXPECT_EQ(fakejni::array_stats(vm, longs).release_modes, (std::vector<jint>{JNI_ABORT, 0}));
    EXPECT_EQ(fakejni::array_stats(vm, bools).release_modes, (std::vector<jint>{0}));
    EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
}

TEST_F(RuntimeTest, UnusableCellsAreLeftAlone) {
    jlongArray none = fakejni::new_long_array(env, {});
    EXPECT_EQ(GetLongRefValue(env, nullptr), 0);
    EXPECT_EQ(GetLongRefValue(env, none), 0);
    SetLongRef(env, nullptr, 1);
    SetLongRef(env, none, 1);
    EXPECT_EQ(fakejni::array_stats(vm, none).gets, 0);
}

// Native strings are modified UTF-8 on the POSIX builds and the ANSI code
// page (here 1252) on Windows, where a character it lacks becomes its
// default character and U+0000 ends the text.
TEST_F(RuntimeTest, NativeStringsBothWays) {
    struct Case {
        std::u16string text;
        std::string bytes;
        std::u16string back;
    } cases[] = {
        {u"", "", u""},
        {u"AB", "AB", u"AB"},
#if defined(_WIN32)
        {u"\u00e9", "\xe9", u"\u00e9"},
        {u"\u4e2d", "?", u"?"},
#else
        {u"\u00e9", "\xc3\xa9", u"\u00e9"},
        {std::u16string(1, u'\0'), "\xc0\x80", std::u16string(1, u'\0')},
#endif
    };
    for (const Case &c : cases) {
        char *native = jstringToWindows(env, Str(c.text));
        ASSERT_NE(native, nullptr);
        EXPECT_EQ(std::string(native, strlen(native) + 1), c.bytes + std::string(1, '\0'));
        jstring back = WindowsTojstring(env, native);
        EXPECT_EQ(fakejni::string_chars(vm, back), c.back);
        free(native);
    }
    EXPECT_EQ(WindowsTojstring(env, nullptr), nullptr);
    EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
}

TEST_F(RuntimeTest, ThrowReplacesAPendingException) {
    env->ThrowNew(env->FindClass("java/lang/OutOfMemoryError"), "vm");
    ThrowNewException(env, "Class not found");
    EXPECT_EQ(TakeException(), "Class not found");
    // Without the exception class the VM's own lookup error stays.
    fakejni::fail_find_class(vm, "java/lang/Exception");
    ThrowNewException(env, "lost");
    TakeException("java/lang/NoClassDefFoundError");
}

TEST_F(RuntimeTest, MethodChecks) {
    fakejni::define_class(vm, "test/Callback", "java/lang/Object", {},
                          {{"callback", "(JJLjava/lang/Object;)J", nullptr}});
#if !defined(_WIN32)
    jobject cb = fakejni::new_object(env, "test/Callback");
    jmethodID id = GetMethodID(env, "callback", "(JJLjava/lang/Object;)J", cb);
    EXPECT_NE(id, nullptr);
    EXPECT_EQ(CanCallMethod(env, cb, id, "callback"), 1);
    EXPECT_EQ(CanCallMethod(nullptr, cb, id, "callback"), 0);
    EXPECT_EQ(GetMethodID(env, "absent", "()V", cb), nullptr);
    TakeException("java/lang/NoSuchMethodError");
    EXPECT_EQ(CanCallMethod(env, cb, nullptr, "callback"), 0);
    EXPECT_EQ(TakeException(), "Method callback not found.");
#endif
    jobject plain = GetObj(env);
    EXPECT_EQ(fakejni::class_name(vm, plain), "java/lang/Object");
    FreeObj(env, plain);
    jbyteArray empty_bytes = bArr2jArr(env, nullptr, 0);
    EXPECT_EQ(env->GetArrayLength(empty_bytes), 0);
    const unsigned char data[] = {1, 2, 3};
    jbyteArray three = bArr2jArr(env, data, 3);
    EXPECT_EQ(fakejni::byte_elements(vm, three), (std::vector<jbyte>{1, 2, 3}));
    EXPECT_EQ(bArr2jArr(env, data, -1), nullptr);
    fakejni::clear_exception(env);
}

#if !defined(_WIN32)
TEST_F(RuntimeTest, EnvironmentOfOtherThreads) {
    JNIEnv *seen = env;
    std::thread([&] { seen = GetEnv(); }).join();
    EXPECT_EQ(seen, nullptr);
    EXPECT_EQ(fakejni::counters(vm).last_get_env_version, 0x10004);

    JNIEnv *attached = nullptr;
    bool still_attached = false;
    std::thread([&] {
        attached = AttachEnv();
        still_attached = GetEnv() != nullptr;
        DetachEnv();
    }).join();
    EXPECT_NE(attached, nullptr);
    EXPECT_TRUE(still_attached);

    // A thread that cannot see the bridge class is described and detached.
    fakejni::fail_find_class(vm, ORV_BRIDGE_CLASS);
    bool detached = false;
    std::thread([&] {
        attached = AttachEnv();
        detached = !fakejni::attached(vm);
    }).join();
    EXPECT_EQ(attached, nullptr);
    EXPECT_TRUE(detached);
    EXPECT_EQ(fakejni::counters(vm).describe_calls, 1);

    fakejni::reset_faults(vm);
    fakejni::set_attach_fails(vm, true);
    std::thread([&] { attached = AttachEnv(); }).join();
    EXPECT_EQ(attached, nullptr);
}
#endif
