// The parts of the stand-in VM that the bridge's tests lean on hardest:
// release modes, the string codec, what it records as misuse, reference
// counting and injected failures.
#include "fakejni.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class FakeJni : public ::testing::Test {
 protected:
  using Vm = fakejni::Vm;
  void SetUp() override {
    vm_.reset(fakejni::create_vm());
    env_ = fakejni::env(vm_.get());
  }
  Vm* vm() { return vm_.get(); }

  fakejni::VmPtr vm_;
  JNIEnv* env_ = nullptr;
};

// ---- Element buffers --------------------------------------------------------

struct ReleaseCase {
  jint mode;
  bool copied_back;
  bool still_outstanding;
};

class CopyRelease : public FakeJni, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(CopyRelease, HonoursTheModeExactly) {
  const ReleaseCase& rc = GetParam();
  fakejni::set_copy_elements(vm(), true);
  jintArray a = fakejni::new_int_array(env_, {1, 2, 3});

  jboolean is_copy = JNI_FALSE;
  jint* e = env_->GetIntArrayElements(a, &is_copy);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(is_copy, JNI_TRUE);
  EXPECT_NE(static_cast<void*>(e), fakejni::array_storage(vm(), a));
  e[1] = 42;
  EXPECT_EQ(fakejni::int_elements(vm(), a)[1], 2) << "a copy must not write through";

  env_->ReleaseIntArrayElements(a, e, rc.mode);
  EXPECT_EQ(fakejni::int_elements(vm(), a)[1], rc.copied_back ? 42 : 2);
  fakejni::ArrayStats st = fakejni::array_stats(vm(), a);
  EXPECT_EQ(st.gets, 1);
  EXPECT_EQ(st.release_modes, std::vector<jint>{rc.mode});
  EXPECT_EQ(st.outstanding, rc.still_outstanding ? 1 : 0);
  if (rc.still_outstanding) env_->ReleaseIntArrayElements(a, e, JNI_ABORT);
  EXPECT_EQ(fakejni::outstanding_buffers(vm()), 0u);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, CopyRelease,
                         ::testing::Values(ReleaseCase{0, true, false},
                                           ReleaseCase{JNI_COMMIT, true, true},
                                           ReleaseCase{JNI_ABORT, false, false}));

TEST_F(FakeJni, WithoutCopiesHandsOutStorageAndStillTracksPins) {
  jbyteArray a = fakejni::new_byte_array(env_, {1, 2, 3, 4});
  jboolean is_copy = JNI_TRUE;
  jbyte* e = env_->GetByteArrayElements(a, &is_copy);
  EXPECT_EQ(is_copy, JNI_FALSE);
  EXPECT_EQ(static_cast<void*>(e), fakejni::array_storage(vm(), a));
  e[0] = 9;
  EXPECT_EQ(fakejni::byte_elements(vm(), a)[0], 9);
  EXPECT_EQ(fakejni::array_stats(vm(), a).outstanding, 1);
  EXPECT_EQ(fakejni::outstanding_buffers(vm()), 1u);
  env_->ReleaseByteArrayElements(a, e, 0);
  EXPECT_EQ(fakejni::array_stats(vm(), a).outstanding, 0);
}

TEST_F(FakeJni, ReleasesThatDoNotMatchAGetAreViolations) {
  jintArray ints = fakejni::new_int_array(env_, {1});
  jlongArray longs = fakejni::new_long_array(env_, {1});
  jint stray = 0;
  env_->ReleaseIntArrayElements(ints, &stray, 0);
  ASSERT_EQ(fakejni::violations(vm()).size(), 1u);
  EXPECT_EQ(fakejni::violations(vm())[0],
            "ReleaseIntArrayElements: pointer was not handed out by this array");
  EXPECT_TRUE(fakejni::array_stats(vm(), ints).release_modes.empty());

  // The wrong element type is reported but the buffer still goes back.
  fakejni::clear_violations(vm());
  jlong* e = env_->GetLongArrayElements(longs, nullptr);
  env_->ReleaseIntArrayElements(reinterpret_cast<jintArray>(longs), reinterpret_cast<jint*>(e), 0);
  ASSERT_EQ(fakejni::violations(vm()).size(), 1u);
  EXPECT_EQ(fakejni::violations(vm())[0], "ReleaseIntArrayElements: array is long[], not int[]");
  EXPECT_EQ(fakejni::array_stats(vm(), longs).outstanding, 0);
}

TEST_F(FakeJni, RegionsCheckTheirBounds) {
  jintArray a = fakejni::new_int_array(env_, {1, 2, 3});
  const jint in[2] = {7, 8};
  env_->SetIntArrayRegion(a, 1, 2, in);
  EXPECT_EQ(fakejni::int_elements(vm(), a), (std::vector<jint>{1, 7, 8}));
  jint out[4] = {0, 0, 0, 0};
  env_->GetIntArrayRegion(a, 2, 2, out);
  fakejni::PendingException e = fakejni::pending_exception(env_);
  EXPECT_EQ(e.class_name, "java/lang/ArrayIndexOutOfBoundsException");
  EXPECT_EQ(out[0], 0);
  fakejni::clear_exception(env_);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

// ---- Strings -----------------------------------------------------------------

struct Utf8Case {
  std::u16string units;
  std::string modified;
};

class ModifiedUtf8 : public FakeJni, public ::testing::WithParamInterface<Utf8Case> {};

TEST_P(ModifiedUtf8, RoundTripsThroughTheEnvironment) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(fakejni::to_modified_utf8(c.units), c.modified);

  jstring s = env_->NewStringUTF(c.modified.c_str());
  EXPECT_EQ(fakejni::string_chars(vm(), s), c.units);
  EXPECT_EQ(env_->GetStringLength(s), static_cast<jsize>(c.units.size()));
  EXPECT_EQ(env_->GetStringUTFLength(s), static_cast<jsize>(c.modified.size()));
  const char* bytes = env_->GetStringUTFChars(s, nullptr);
  EXPECT_EQ(std::string(bytes), c.modified);
  env_->ReleaseStringUTFChars(s, bytes);

  jstring t = fakejni::new_string(env_, c.units);
  std::vector<char> region(c.modified.size() + 1, 'x');
  env_->GetStringUTFRegion(t, 0, env_->GetStringLength(t), region.data());
  EXPECT_EQ(std::string(region.data()), c.modified);
  EXPECT_EQ(fakejni::outstanding_buffers(vm()), 0u);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Codec, ModifiedUtf8,
    ::testing::Values(Utf8Case{u"", ""}, Utf8Case{u"AB", "AB"},
                      Utf8Case{std::u16string(1, u'\0') + u"A", "\xC0\x80" "A"},
                      Utf8Case{u"\u00E9", "\xC3\xA9"}, Utf8Case{u"\u20AC", "\xE2\x82\xAC"},
                      // U+1F600: each surrogate on its own, three bytes each.
                      Utf8Case{u"\U0001F600", "\xED\xA0\xBD\xED\xB8\x80"}));

TEST(ModifiedUtf8Decode, IsLenientWithStandardAndBrokenInput) {
  EXPECT_EQ(fakejni::from_modified_utf8("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(fakejni::from_modified_utf8("a\xFF" "b"), u"a\u00FF" u"b");
}

TEST_F(FakeJni, StringCharsAreExactCopiesThatMustComeBack) {
  jstring s = fakejni::new_string(env_, u"hi");
  jboolean is_copy = JNI_FALSE;
  const jchar* u = env_->GetStringChars(s, &is_copy);
  EXPECT_EQ(is_copy, JNI_TRUE);
  EXPECT_EQ(u[0], u'h');
  EXPECT_EQ(u[1], u'i');
  EXPECT_EQ(fakejni::outstanding_buffers(vm()), 1u);
  env_->ReleaseStringChars(s, u);
  EXPECT_EQ(fakejni::outstanding_buffers(vm()), 0u);
  jchar region[1] = {0};
  env_->GetStringRegion(s, 1, 2, region);
  EXPECT_EQ(fakejni::pending_exception(env_).class_name,
            "java/lang/StringIndexOutOfBoundsException");
}

// ---- Exceptions and what is recorded as misuse ---------------------------------

TEST_F(FakeJni, CallsWithAnExceptionPendingAreRecordedByName) {
  EXPECT_EQ(env_->FindClass("no/Such"), nullptr);
  fakejni::PendingException e = fakejni::pending_exception(env_);
  EXPECT_EQ(e.class_name, "java/lang/NoClassDefFoundError");
  EXPECT_EQ(e.message, "no/Such");

  // What JNI allows while an exception is pending.
  jthrowable t = env_->ExceptionOccurred();
  EXPECT_TRUE(env_->ExceptionCheck());
  env_->DeleteLocalRef(t);
  EXPECT_TRUE(fakejni::violations(vm()).empty());

  // And what it does not: recorded, and the call still goes through.
  jclass object = env_->FindClass("java/lang/Object");
  EXPECT_NE(object, nullptr);
  EXPECT_EQ(fakejni::violations(vm()),
            std::vector<std::string>{"FindClass: called with an exception pending"});
  env_->ExceptionClear();
  EXPECT_FALSE(env_->ExceptionCheck());
}

TEST_F(FakeJni, BridgeStyleExceptionCarriesClassAndMessage) {
  jclass cls = env_->FindClass("java/lang/Exception");
  jmethodID init = env_->GetMethodID(cls, "<init>", "(Ljava/lang/String;)V");
  ASSERT_NE(init, nullptr);
  jobject ex = env_->NewObject(cls, init, env_->NewStringUTF("Out of memory"));
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(env_->Throw(static_cast<jthrowable>(ex)), JNI_OK);
  fakejni::PendingException e = fakejni::pending_exception(env_);
  EXPECT_EQ(e.class_name, "java/lang/Exception");
  EXPECT_TRUE(e.has_message);
  EXPECT_EQ(e.message, "Out of memory");

  env_->ExceptionDescribe();
  EXPECT_FALSE(env_->ExceptionCheck());
  EXPECT_EQ(fakejni::described(vm()),
            std::vector<std::string>{"java/lang/Exception: Out of memory"});
  EXPECT_EQ(fakejni::counters(vm()).describe_calls, 1);

  env_->ThrowNew(env_->FindClass("java/lang/NoSuchFieldError"), "size");
  EXPECT_EQ(fakejni::pending_exception(env_).message, "size");
  jclass error = env_->FindClass("java/lang/Error");  // pending: one violation
  EXPECT_TRUE(env_->IsInstanceOf(env_->ExceptionOccurred(), error));
  EXPECT_EQ(fakejni::violations(vm()).size(), 2u);  // FindClass and IsInstanceOf
}

TEST_F(FakeJni, StaleForeignAndCrossThreadReferencesAreRecorded) {
  jclass cls = env_->FindClass("java/lang/Object");
  env_->DeleteLocalRef(cls);
  env_->GetSuperclass(cls);
  env_->DeleteLocalRef(cls);
  int not_a_ref = 0;
  env_->GetObjectClass(reinterpret_cast<jobject>(&not_a_ref));
  std::vector<std::string> v = fakejni::violations(vm());
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0], "GetSuperclass: use of a deleted reference");
  EXPECT_EQ(v[1], "DeleteLocalRef: local reference deleted twice");
  EXPECT_EQ(v[2], "GetObjectClass: invalid reference (not handed out by this VM)");
  EXPECT_EQ(v[3], "GetObjectClass: null object");

  fakejni::clear_violations(vm());
  jobject mine = fakejni::new_object(env_, "java/lang/Object");
  std::thread([&] {
    JNIEnv* other = fakejni::attach(vm());
    other->GetObjectClass(mine);  // a local of the main thread
    env_->ExceptionCheck();       // the main thread's environment
    fakejni::detach(vm());
  }).join();
  v = fakejni::violations(vm());
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], "GetObjectClass: local reference of another thread");
  EXPECT_EQ(v[1], "ExceptionCheck: JNIEnv used on a thread it does not belong to");
}

// ---- References ------------------------------------------------------------------

TEST_F(FakeJni, CountsLocalsPerFrameAndGlobals) {
  size_t base = fakejni::local_refs(env_);
  jclass cls = env_->FindClass("Orvalith/Base/JNI$Pointer");
  EXPECT_EQ(fakejni::local_refs(env_), base + 1);

  ASSERT_EQ(env_->PushLocalFrame(4), JNI_OK);
  jobject a = env_->AllocObject(cls);
  env_->NewLocalRef(a);
  env_->GetObjectClass(a);
  EXPECT_EQ(fakejni::local_refs(env_), base + 4);
  jobject kept = env_->PopLocalFrame(a);
  EXPECT_EQ(fakejni::local_refs(env_), base + 2);
  EXPECT_EQ(env_->GetObjectRefType(a), JNIInvalidRefType);
  EXPECT_TRUE(env_->IsSameObject(kept, kept));

  jobject g = env_->NewGlobalRef(kept);
  EXPECT_EQ(fakejni::global_refs(vm()), 1u);
  EXPECT_EQ(env_->GetObjectRefType(g), JNIGlobalRefType);
  EXPECT_TRUE(env_->IsSameObject(g, kept));
  env_->DeleteLocalRef(g);  // wrong kind
  env_->DeleteGlobalRef(g);
  EXPECT_EQ(fakejni::global_refs(vm()), 0u);
  env_->DeleteLocalRef(kept);
  env_->DeleteLocalRef(cls);
  EXPECT_EQ(fakejni::local_refs(env_), base);
  EXPECT_EQ(fakejni::violations(vm()),
            std::vector<std::string>{"DeleteLocalRef: not a local reference"});
  EXPECT_GE(fakejni::local_refs_high_water(env_), base + 4);
}

TEST_F(FakeJni, ClassesFieldsAndInheritance) {
  fakejni::define_class(vm(), "test/Args", "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS",
                        {{"extra", "I"}});
  jobject obj = fakejni::new_object(env_, "test/Args");
  jclass cls = env_->GetObjectClass(obj);
  EXPECT_EQ(fakejni::name_of_class(vm(), cls), "test/Args");

  jfieldID flags = env_->GetFieldID(cls, "flags", "J");  // inherited
  ASSERT_NE(flags, nullptr);
  env_->SetLongField(obj, flags, 0x123456789LL);
  EXPECT_EQ(fakejni::long_field(vm(), obj, "flags"), 0x123456789LL);
  jfieldID extra = env_->GetFieldID(cls, "extra", "I");
  env_->SetIntField(obj, extra, 70000);
  EXPECT_EQ(env_->GetIntField(obj, extra), 70000);

  EXPECT_EQ(env_->GetFieldID(cls, "flags", "I"), nullptr);  // wrong signature
  EXPECT_EQ(fakejni::pending_exception(env_).class_name, "java/lang/NoSuchFieldError");
  EXPECT_EQ(fakejni::pending_exception(env_).message, "flags");
  env_->ExceptionClear();

  env_->GetIntField(obj, flags);  // an int accessor on a long field
  EXPECT_EQ(fakejni::violations(vm()),
            std::vector<std::string>{"GetIntField: field flags has type J, accessed as int"});

  jclass super = env_->GetSuperclass(cls);
  EXPECT_EQ(fakejni::name_of_class(vm(), super), "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS");
  EXPECT_TRUE(env_->IsInstanceOf(obj, super));
  EXPECT_TRUE(env_->IsInstanceOf(fakejni::new_int_array(env_, {}), env_->FindClass("[I")));
  EXPECT_FALSE(env_->IsInstanceOf(fakejni::new_int_array(env_, {}), env_->FindClass("[J")));
}

TEST_F(FakeJni, MethodsReadVarargsBySignature) {
  std::vector<jvalue> seen;
  fakejni::define_class(
      vm(), "test/Callback", "java/lang/Object", {},
      {{"callback", "(ZBIJFDLjava/lang/Object;)J",
        [&](JNIEnv* env, jobject, const jvalue* a) {
          seen.assign(a, a + 7);
          env->FindClass("java/lang/String");  // a local of the body's own frame
          return fakejni::jv_long(a[3].j + 1);
        }},
       {"name", "()Ljava/lang/String;",
        [](JNIEnv* env, jobject, const jvalue*) {
          return fakejni::jv_obj(env->NewStringUTF("cb"));
        }}});
  jobject cb = fakejni::new_object(env_, "test/Callback");
  jclass cls = env_->GetObjectClass(cb);
  jmethodID m = env_->GetMethodID(cls, "callback", "(ZBIJFDLjava/lang/Object;)J");
  ASSERT_NE(m, nullptr);
  size_t locals = fakejni::local_refs(env_);

  jlong r = env_->CallLongMethod(cb, m, JNI_TRUE, static_cast<jbyte>(-2), static_cast<jint>(-3),
                                 static_cast<jlong>(0x100000000LL), 1.5f, 2.25, cb);
  EXPECT_EQ(r, 0x100000001LL);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0].z, JNI_TRUE);
  EXPECT_EQ(seen[1].b, -2);
  EXPECT_EQ(seen[2].i, -3);
  EXPECT_EQ(seen[3].j, 0x100000000LL);
  EXPECT_EQ(seen[4].f, 1.5f);
  EXPECT_EQ(seen[5].d, 2.25);
  EXPECT_TRUE(env_->IsSameObject(seen[6].l, cb));
  EXPECT_EQ(fakejni::local_refs(env_), locals) << "the body's locals are released";

  jvalue args[7];
  std::memcpy(args, seen.data(), sizeof args);
  args[3].j = 41;
  EXPECT_EQ(env_->CallLongMethodA(cb, m, args), 42);

  jmethodID name = env_->GetMethodID(cls, "name", "()Ljava/lang/String;");
  jobject s = env_->CallObjectMethod(cb, name);
  EXPECT_EQ(fakejni::string_utf8(vm(), static_cast<jstring>(s)), "cb");
  EXPECT_EQ(fakejni::local_refs(env_), locals + 1);

  EXPECT_EQ(env_->GetMethodID(cls, "missing", "()V"), nullptr);
  EXPECT_EQ(fakejni::pending_exception(env_).class_name, "java/lang/NoSuchMethodError");
  env_->ExceptionClear();
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

TEST_F(FakeJni, PointerConstructorSetsItsFields) {
  jclass cls = env_->FindClass("Orvalith/Base/JNI$Pointer");
  jmethodID init = env_->GetMethodID(cls, "<init>", "(JLjava/lang/Object;I)V");
  jbyteArray arr = fakejni::new_byte_array(env_, {1, 2});
  jobject p = env_->NewObject(cls, init, static_cast<jlong>(-8), arr, static_cast<jint>(2));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(fakejni::long_field(vm(), p, "p"), -8);
  EXPECT_EQ(fakejni::identity(vm(), fakejni::object_field(env_, p, "o")),
            fakejni::identity(vm(), arr));
  EXPECT_EQ(fakejni::int_field(vm(), p, "size"), 2);
  EXPECT_EQ(fakejni::bool_field(vm(), p, "freed"), JNI_FALSE);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

// ---- Fault injection -----------------------------------------------------------

TEST_F(FakeJni, InjectedFaultsFailLikeTheVmWouldUntilReset) {
  fakejni::fail_find_class(vm(), "Orvalith/Base/JNI");
  EXPECT_EQ(env_->FindClass("Orvalith/Base/JNI"), nullptr);
  EXPECT_EQ(fakejni::pending_exception(env_).class_name, "java/lang/NoClassDefFoundError");
  env_->ExceptionClear();

  jclass ex = env_->FindClass("java/lang/Exception");
  fakejni::fail_get_method(vm(), "java/lang/Exception", "<init>", "(Ljava/lang/String;)V");
  EXPECT_EQ(env_->GetMethodID(ex, "<init>", "(Ljava/lang/String;)V"), nullptr);
  env_->ExceptionClear();
  EXPECT_NE(env_->GetMethodID(ex, "<init>", "()V"), nullptr);
  fakejni::fail_get_method_named(vm(), "callback");
  fakejni::define_class(vm(), "test/Cb", "java/lang/Object", {},
                        {{"callback", "(JJLjava/lang/Object;)J", nullptr}});
  EXPECT_EQ(env_->GetMethodID(env_->FindClass("test/Cb"), "callback", "(JJLjava/lang/Object;)J"),
            nullptr);
  env_->ExceptionClear();

  // The second array allocation fails, once.
  fakejni::fail_allocation(vm(), fakejni::kAllocArray, 2);
  EXPECT_NE(env_->NewIntArray(1), nullptr);
  EXPECT_NE(env_->NewStringUTF("not an array"), nullptr);
  EXPECT_EQ(env_->NewLongArray(1), nullptr);
  EXPECT_EQ(fakejni::pending_exception(env_).class_name, "java/lang/OutOfMemoryError");
  env_->ExceptionClear();
  EXPECT_NE(env_->NewByteArray(1), nullptr);

  fakejni::fail_allocation(vm(), fakejni::kAllocElements, 0);
  jintArray cell = fakejni::new_int_array(env_, {5});
  EXPECT_EQ(env_->GetIntArrayElements(cell, nullptr), nullptr);
  env_->ExceptionClear();
  EXPECT_EQ(env_->GetStringUTFChars(env_->NewStringUTF("x"), nullptr), nullptr);
  env_->ExceptionClear();

  EXPECT_EQ(env_->NewIntArray(-1), nullptr);
  EXPECT_EQ(fakejni::pending_exception(env_).class_name, "java/lang/OutOfMemoryError");
  env_->ExceptionClear();

  fakejni::reset_faults(vm());
  EXPECT_NE(env_->FindClass("Orvalith/Base/JNI"), nullptr);
  jint* e = env_->GetIntArrayElements(cell, nullptr);
  ASSERT_NE(e, nullptr);
  env_->ReleaseIntArrayElements(cell, e, JNI_ABORT);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

// ---- The invocation interface and threads -----------------------------------------

TEST_F(FakeJni, InvocationInterfaceAttachesAndDetaches) {
  JavaVM* jvm = fakejni::java_vm(vm());
  void* penv = nullptr;
  EXPECT_EQ(jvm->GetEnv(&penv, JNI_VERSION_1_4), JNI_OK);
  EXPECT_EQ(penv, env_);
  JavaVM* from_env = nullptr;
  EXPECT_EQ(env_->GetJavaVM(&from_env), JNI_OK);
  EXPECT_EQ(from_env, jvm);

  std::thread([&] {
    void* e = &e;
    EXPECT_EQ(jvm->GetEnv(&e, JNI_VERSION_1_4), JNI_EDETACHED);
    EXPECT_EQ(e, nullptr);
    fakejni::set_attach_fails(vm(), true);
    EXPECT_EQ(jvm->AttachCurrentThread(&e, nullptr), JNI_ERR);
    fakejni::set_attach_fails(vm(), false);
    ASSERT_EQ(jvm->AttachCurrentThread(&e, nullptr), JNI_OK);
    JNIEnv* te = static_cast<JNIEnv*>(e);
    EXPECT_NE(te, env_);
    EXPECT_NE(te->FindClass("Orvalith/Base/JNI"), nullptr);
    EXPECT_EQ(fakejni::local_refs(te), 1u);
    EXPECT_EQ(jvm->DetachCurrentThread(), JNI_OK);
    EXPECT_FALSE(fakejni::attached(vm()));
    EXPECT_EQ(jvm->GetEnv(&e, JNI_VERSION_1_4), JNI_EDETACHED);
  }).join();
  fakejni::Counters c = fakejni::counters(vm());
  EXPECT_EQ(c.attach_calls, 2);
  EXPECT_EQ(c.detach_calls, 1);
  EXPECT_EQ(c.last_get_env_version, JNI_VERSION_1_4);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

TEST_F(FakeJni, ManyThreadsAtOnceKeepTheirOwnCounts) {
  const int kThreads = 8, kRounds = 500;
  jobject shared = env_->NewGlobalRef(fakejni::new_object(env_, "java/lang/Object"));
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      JavaVM* jvm = fakejni::java_vm(vm());
      void* e = nullptr;
      if (jvm->AttachCurrentThread(&e, nullptr) != JNI_OK) {
        ++bad;
        return;
      }
      JNIEnv* te = static_cast<JNIEnv*>(e);
      for (int r = 0; r < kRounds; ++r) {
        jclass c = te->GetObjectClass(shared);
        jintArray a = te->NewIntArray(1);
        jint* p = te->GetIntArrayElements(a, nullptr);
        p[0] = r;
        te->ReleaseIntArrayElements(a, p, 0);
        te->DeleteLocalRef(a);
        te->DeleteLocalRef(c);
      }
      if (fakejni::local_refs(te) != 0) ++bad;
      jvm->DetachCurrentThread();
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(fakejni::global_refs(vm()), 1u);
  EXPECT_EQ(fakejni::outstanding_buffers(vm()), 0u);
  EXPECT_TRUE(fakejni::violations(vm()).empty());
}

#if GTEST_HAS_DEATH_TEST
TEST(FakeJniDeathTest, UnimplementedEntriesAbortNamingThemselves) {
  // "fast": a plain fork; re-executing the binary fails under qemu-user.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_DEATH(
      {
        fakejni::VmPtr vm(fakejni::create_vm());
        JNIEnv* env = fakejni::env(vm.get());
        env->MonitorEnter(fakejni::new_object(env, "java/lang/Object"));
      },
      "JNI function MonitorEnter is not implemented");
}
#endif

}  // namespace
