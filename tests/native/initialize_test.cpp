// c_Initialize: the argument records in the platform's layout, and the
// mutex functions used by the module from threads the VM never saw.
#include "pkcs11/token_module.h"
#include "support.h"
#include "token_natives.h"

class InitializeTest : public VmTest {
protected:
    void SetUp() override {
        VmTest::SetUp();
        fakejni::define_class(vm, "test/InitArgs", "java/lang/Object",
                              {{"useMutexes", "Z"}, {"flags", "J"}, {"pReserved", "J"}});
        fakejni::define_class(vm, "test/NoReserved", "java/lang/Object",
                              {{"useMutexes", "Z"}, {"flags", "J"}});
        fakejni::define_class(vm, "test/NssChild", ORV_NSS_ARGS_CLASS);
        mock = LoadMock(env);
        ASSERT_NE(mock.handle, 0);
    }
    void TearDown() override {
        UnloadModule(env, mock.handle);
        VmTest::TearDown();
    }
    jobject Args(const char *cls, bool mutexes, jlong flags) {
        jobject args = fakejni::new_object(env, cls);
        fakejni::set_bool_field(vm, args, "useMutexes", mutexes);
        fakejni::set_long_field(vm, args, "flags", flags);
        return args;
    }
    jlong Initialize(jobject args) { return Java_Orvalith_Base_JNI_c_1Initialize(env, nullptr, mock.handle, args); }
    MockRecord Last() {
        MockRecord r;
        EXPECT_GE(mock.control->record_last(MOCK_C_Initialize, &r), 0);
        return r;
    }
    MockModule mock;
};

static uint64_t Word(const void *p) { return reinterpret_cast<uintptr_t>(p); }

TEST_F(InitializeTest, PlainRecord) {
    mock.control->set_result(MOCK_C_Initialize, 0x191);
    EXPECT_EQ(Initialize(nullptr), 0x191);
    EXPECT_TRUE(Last().init_args_null);

    mock.control->set_init_words(6);
    jobject args = Args("test/InitArgs", true, 2 | (1LL << 40));
    fakejni::set_long_field(vm, args, "pReserved", 0);
    Initialize(args);
    MockRecord r = Last();
    ASSERT_FALSE(r.init_args_null);
    EXPECT_EQ(r.init_words[0], Word(reinterpret_cast<void *>(CreateMutexCallback)));
    EXPECT_EQ(r.init_words[1], Word(reinterpret_cast<void *>(DestroyMutexCallback)));
    EXPECT_EQ(r.init_words[2], Word(reinterpret_cast<void *>(LockMutexCallback)));
    EXPECT_EQ(r.init_words[3], Word(reinterpret_cast<void *>(UnlockMutexCallback)));
    EXPECT_EQ(r.init_words[4], static_cast<uint64_t>(NarrowUlong(2 | (1LL << 40))));  // passed through
    EXPECT_EQ(r.init_words[5], 0u);

    Initialize(Args("test/InitArgs", false, 0));
    r = Last();
    for (int i = 0; i < 4; i++) EXPECT_EQ(r.init_words[i], 0u);
}

TEST_F(InitializeTest, MissingFieldStillInitializes) {
    mock.control->set_init_words(6);
    mock.control->set_result(MOCK_C_Initialize, CKR_OK);
    EXPECT_EQ(Initialize(Args("test/NoReserved", false, 0)), CKR_OK);
    EXPECT_EQ(TakeException(), "Can't find pReserved field in class.");
    EXPECT_EQ(Last().init_words[5], Word(NarrowAddress(-1)));
}

#if !defined(_WIN32)
TEST_F(InitializeTest, NssRecordCarriesTheParameterAddress) {
    static const char params[] = "configdir='x'";
    mock.control->set_init_words(7);
    for (const char *cls : {ORV_NSS_ARGS_CLASS, "test/NssChild"}) {
        jobject args = Args(cls, true, 0);
        fakejni::set_long_field(vm, args, "LibraryParams", WidenAddress(params));
        fakejni::set_long_field(vm, args, "pReserved", 0x40);
        EXPECT_EQ(IsNSS(env, args), 1);
        Initialize(args);
        MockRecord r = Last();
        EXPECT_EQ(r.init_words[5], Word(params));
        EXPECT_EQ(r.init_words[6], 0x40u);
    }
    jobject zero = Args(ORV_NSS_ARGS_CLASS, false, 0);
    Initialize(zero);
    EXPECT_EQ(Last().init_words[5], 0u);
    EXPECT_EQ(IsNSS(env, Args("test/InitArgs", false, 0)), 0);
}
#endif

TEST_F(InitializeTest, NoFunctionReadsNothing) {
    // An object whose fields would raise: not even looked at.
    jobject args = Args("test/NoReserved", false, 0);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Initialize(env, nullptr, 0, args), 2147483649LL);
    mock.control->set_entry_null(MOCK_C_Initialize, 1);
    jlong without = LoadModule(env, ModuleFile("mockp11"));
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Initialize(env, nullptr, without, args), 2147483649LL);
    UnloadModule(env, without);
    mock.control->set_entry_null(MOCK_C_Initialize, 0);
    EXPECT_EQ(mock.control->record_last(MOCK_C_Initialize, nullptr), -1);
}

TEST_F(InitializeTest, MutexesFromUnattachedThreads) {
    if (!ThreadsWork()) return;  // see ThreadsWork
    Initialize(Args("test/InitArgs", true, 0));
    ASSERT_TRUE(mock.control->has_mutex_callbacks());
    CK_RV rv[4];
    EXPECT_EQ(mock.control->mutex_cycle(1, rv), 0);
    EXPECT_EQ(mock.control->mutex_stress(16, 2000), 0);
    EXPECT_EQ(mock.control->mutex_counter(), 16u * 2000u);
    EXPECT_EQ(fakejni::counters(vm).attach_calls, 0);
}

TEST(MutexCallbacks, LockAndUnlockAnswerTheirResults) {
    void *mutex = nullptr;
    ASSERT_EQ(CreateMutexCallback(&mutex), CKR_OK);
    EXPECT_EQ(LockMutexCallback(mutex), CKR_OK);
    EXPECT_EQ(UnlockMutexCallback(mutex), CKR_OK);
    EXPECT_EQ(DestroyMutexCallback(mutex), CKR_OK);
}
