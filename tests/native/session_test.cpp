// Sessions and their notifications: during c_OpenSession, later, from other
// threads, and never after the session ended.
#include <stdio.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "pkcs11/token_module.h"
#include "support.h"
#include "token_natives.h"

class SessionTest : public VmTest {
protected:
    void SetUp() override {
        VmTest::SetUp();
        calls = 0;
        fakejni::define_class(vm, "test/Notify", "java/lang/Object", {},
                              {{"callback", "(JJLjava/lang/Object;)J",
                                [this](JNIEnv *e, jobject, const jvalue *a) {
                                    calls++;
                                    last_session = a[0].j;
                                    last_event = a[1].j;
                                    last_app = fakejni::identity(fakejni::vm_of(e), a[2].l);
                                    if (throw_from_callback)
                                        e->ThrowNew(e->FindClass("java/lang/Exception"), "from callback");
                                    if (during_callback) {
                                        auto once = std::move(during_callback);
                                        during_callback = nullptr;
                                        once(e);
                                    }
                                    return fakejni::jv_long(answer);
                                }}});
        fakejni::define_class(vm, "test/Silent");
        callback = fakejni::new_object(env, "test/Notify");
        app = fakejni::new_object(env, "java/lang/Object");
        mock = LoadMock(env);
        ASSERT_NE(mock.handle, 0);
        globals_at_start = fakejni::global_refs(vm);
    }
    void TearDown() override {
        UnloadModule(env, mock.handle);
        EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
        VmTest::TearDown();
    }
    jlong Open(jlongArray cell, jobject cb, jlong slot = 1) {
        return Java_Orvalith_Base_JNI_c_1OpenSession(env, nullptr, mock.handle, slot, CKF_SERIAL_SESSION, app,
                                                     cb, cell);
    }
    jlong OpenOne(jlong slot = 1) {
        jlongArray cell = fakejni::new_long_array(env, {0});
        EXPECT_EQ(Open(cell, callback, slot), CKR_OK);
        jlong session = fakejni::long_elements(vm, cell)[0];
        env->DeleteLocalRef(cell);
        return session;
    }

    // From a native thread of the module's where threads can be made.
    CK_RV Notify(CK_SESSION_HANDLE session) {
        return ThreadsWork() ? mock.control->notify_from_new_thread(session, 1)
                             : mock.control->notify(session, 1);
    }

    MockModule mock;
    jobject callback = nullptr, app = nullptr;
    std::atomic<int> calls{0};
    std::atomic<jlong> last_session{0}, last_event{0}, answer{0};
    std::atomic<const void *> last_app{nullptr};
    std::atomic<bool> throw_from_callback{false};
    // Run once by the Java method, on the notifying thread, with its environment.
    std::function<void(JNIEnv *)> during_callback;
    size_t globals_at_start = 0;
};

TEST_F(SessionTest, NoModuleLeavesTheCell) {
    jlongArray cell = fakejni::new_long_array(env, {-7});
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1OpenSession(env, nullptr, 0, 1, 0, app, callback, cell), 2147483649LL);
    EXPECT_EQ(fakejni::long_elements(vm, cell)[0], -7);
}

TEST_F(SessionTest, NotificationDuringOpenReachesJava) {
    mock.control->set_next_session(0xFFFFFFF0UL);
    mock.control->set_open_notify(1, CKN_SURRENDER);
    answer = 1;
    jlongArray cell = fakejni::new_long_array(env, {0});
    EXPECT_EQ(Open(cell, callback, 3), CKR_OK);
    EXPECT_EQ(fakejni::long_elements(vm, cell)[0], 0xFFFFFFF0LL);  // zero-extended
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(last_session, 0xFFFFFFF0LL);
    EXPECT_EQ(last_event, static_cast<jlong>(CKN_SURRENDER));
    EXPECT_EQ(last_app, fakejni::identity(vm, app));
    EXPECT_EQ(mock.control->open_notify_result(), 1u);
    MockRecord r;
    ASSERT_GE(mock.control->record_last(MOCK_C_OpenSession, &r), 0);
    EXPECT_EQ(r.args[0].value, 3u);
    EXPECT_EQ(r.args[1].value, static_cast<uint64_t>(CKF_SERIAL_SESSION));
    EXPECT_EQ(r.args[3].value, reinterpret_cast<uintptr_t>(&COpenSessionCallback));
}

// Other native code may notify through a record of its own; the bridge's
// sessions hold odd numbers, never such an address.
TEST_F(SessionTest, ARecordOfOtherNativeCodeIsCalledThrough) {
    MockRecord r;
    OpenOne();
    ASSERT_GE(mock.control->record_last(MOCK_C_OpenSession, &r), 0);
    EXPECT_EQ(r.args[2].value % 2, 1u);

    NotifyContext record = {env, app, callback};
    answer = 7;
    EXPECT_EQ(COpenSessionCallback(0xFFFFFFF0UL, CKN_SURRENDER, &record), 7u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(last_session, 0xFFFFFFF0LL);
    EXPECT_EQ(last_event, static_cast<jlong>(CKN_SURRENDER));
    EXPECT_EQ(last_app, fakejni::identity(vm, app));
    throw_from_callback = true;
    COpenSessionCallback(1, CKN_SURRENDER, &record);
    EXPECT_EQ(TakeException(), "from callback");
    NotifyContext no_env = {nullptr, app, callback};
    EXPECT_EQ(COpenSessionCallback(1, CKN_SURRENDER, &no_env), CKR_OK);
    EXPECT_EQ(calls, 2);
}

TEST_F(SessionTest, ExceptionDuringOpenStaysForTheCaller) {
    mock.control->set_open_notify(1, CKN_SURRENDER);
    throw_from_callback = true;
    jlongArray cell = fakejni::new_long_array(env, {0});
    EXPECT_EQ(Open(cell, callback), CKR_OK);
    EXPECT_EQ(TakeException(), "from callback");
    EXPECT_EQ(fakejni::counters(vm).describe_calls, 0);
}

TEST_F(SessionTest, LaterNotificationsFromAnyThread) {
    jlong session = OpenOne();
    answer = 5;
    // Same thread, after the call: no caller sees an exception, so a thrown
    // one is described and cleared.
    throw_from_callback = true;
    EXPECT_EQ(mock.control->notify(NarrowUlong(session), CKN_SURRENDER), 5u);
    EXPECT_EQ(fakejni::counters(vm).describe_calls, 1);
    throw_from_callback = false;
    if (!ThreadsWork()) return;
    int attaches = fakejni::counters(vm).attach_calls;
    EXPECT_EQ(mock.control->notify_from_new_thread(NarrowUlong(session), 7), 5u);
    EXPECT_EQ(last_event, 7);
    EXPECT_EQ(last_session, session);
    EXPECT_EQ(fakejni::counters(vm).attach_calls, attaches + 1);
    EXPECT_EQ(fakejni::counters(vm).detach_calls, fakejni::counters(vm).attach_calls);
    EXPECT_EQ(calls, 2);
}

TEST_F(SessionTest, EndedSessionsAreNeverNotified) {
    mock.control->set_stale_notify(1);
    jlong a = OpenOne(), b = OpenOne(), c = OpenOne(2);
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start + 6);
    answer = 9;
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, mock.handle, a), CKR_OK);
    EXPECT_EQ(mock.control->notify(NarrowUlong(a), 1), CKR_OK);
    EXPECT_EQ(mock.control->notify(NarrowUlong(b), 1), 9u);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseAllSessions(env, nullptr, mock.handle, 1), CKR_OK);
    EXPECT_EQ(mock.control->notify(NarrowUlong(b), 1), CKR_OK);
    EXPECT_EQ(mock.control->notify(NarrowUlong(c), 1), 9u);  // another slot
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Finalize(env, nullptr, mock.handle, 0), CKR_OK);
    EXPECT_EQ(Notify(NarrowUlong(c)), CKR_OK);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
}

TEST_F(SessionTest, FailedOpenAndUnloadEndTheContext) {
    mock.control->set_stale_notify(1);
    mock.control->set_result(MOCK_C_OpenSession, CKR_SLOT_ID_INVALID);
    jlongArray cell = fakejni::new_long_array(env, {-1});
    EXPECT_EQ(Open(cell, callback), static_cast<jlong>(CKR_SLOT_ID_INVALID));
    EXPECT_EQ(fakejni::long_elements(vm, cell)[0], 0);  // CK_INVALID_HANDLE
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
    mock.control->set_result(MOCK_C_OpenSession, CKR_OK);
    OpenOne();
    jlong second = LoadModule(env, ModuleFile("mockp11"));
    UnloadModule(env, mock.handle);  // ends the first handle's contexts
    mock.handle = second;
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
}

TEST_F(SessionTest, CallbackWithoutMethodOrObjectAnswersOk) {
    answer = 3;
    for (jobject cb : {static_cast<jobject>(nullptr), fakejni::new_object(env, "test/Silent")}) {
        jlongArray cell = fakejni::new_long_array(env, {0});
        ASSERT_EQ(Open(cell, cb), CKR_OK);
        jlong session = fakejni::long_elements(vm, cell)[0];
        EXPECT_EQ(mock.control->notify(NarrowUlong(session), 1), CKR_OK);
        EXPECT_EQ(Notify(NarrowUlong(session)), CKR_OK);
        Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, mock.handle, session);
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(SessionTest, ClosingWhileTheModuleNotifies) {
    if (!ThreadsWork()) return;  // see ThreadsWork
    mock.control->set_stale_notify(1);
    answer = 1;
    for (int round = 0; round < 20; round++) {
        jlong session = OpenOne();
        ASSERT_EQ(mock.control->notify_stress_start(NarrowUlong(session), CKN_SURRENDER, 4, 1000), 0);
        while (mock.control->notify_stress_calls() < 20) std::this_thread::yield();
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, mock.handle, session), CKR_OK);
        MockStressResult result;
        mock.control->notify_stress_stop(&result);
        EXPECT_GT(result.calls, 0u);
    }
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
}

// What Java may do from a notification that arrives during c_OpenSession:
// end the very context that is still opening, through the handle that is
// opening it.  The context must stay until c_OpenSession is done with it,
// then go; nothing is notified once it ended.
TEST_F(SessionTest, EndingAContextWhileItOpens) {
    enum How { kCloseAll, kFinalize, kUnload };
    for (How how : {kCloseAll, kFinalize, kUnload}) {
        SCOPED_TRACE(how);
        // A second handle keeps the library mapped when the first goes.
        jlong keeper = LoadModule(env, ModuleFile("mockp11"));
        ASSERT_NE(keeper, 0);
        mock.control->reset();
        mock.control->set_open_notify(1, CKN_SURRENDER);
        mock.control->set_stale_notify(1);
        jlong opening = mock.handle;
        during_callback = [&](JNIEnv *e) {
            if (how == kCloseAll) Java_Orvalith_Base_JNI_c_1CloseAllSessions(e, nullptr, opening, 1);
            if (how == kFinalize) Java_Orvalith_Base_JNI_c_1Finalize(e, nullptr, opening, 0);
            if (how == kUnload) UnloadModule(e, opening);
        };
        jlongArray cell = fakejni::new_long_array(env, {0});
        EXPECT_EQ(Open(cell, callback), CKR_OK);
        jlong session = fakejni::long_elements(vm, cell)[0];
        env->DeleteLocalRef(cell);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
        EXPECT_EQ(mock.control->notify(NarrowUlong(session), 1), CKR_OK);
        EXPECT_EQ(Notify(NarrowUlong(session)), CKR_OK);
        EXPECT_EQ(calls, 1);
        if (how == kUnload) {
            mock.handle = keeper;
        } else {
            UnloadModule(env, keeper);
        }
        calls = 0;
    }
}

// A handle that is not live: unloaded already, or never made by a load.
// It must not be read: no module is called, every native answers
// CKR_NO_FUNCTION as for 0, and unloading it again does nothing.
TEST_F(SessionTest, HandlesThatAreNotLive) {
    TokenModule never = {};
    jlong stale = LoadModule(env, ModuleFile("mockp11"));
    ASSERT_NE(stale, 0);
    UnloadModule(env, stale);  // mock.handle keeps the library mapped
    for (jlong handle : {stale, WidenAddress(&never)}) {
        mock.control->reset();
        jlongArray cell = fakejni::new_long_array(env, {-7});
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1OpenSession(env, nullptr, handle, 1, 0, app, callback, cell),
                  2147483649LL);
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Initialize(env, nullptr, handle, nullptr), 2147483649LL);
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, handle, JNI_TRUE, nullptr, cell),
                  2147483649LL);
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseAllSessions(env, nullptr, handle, 1), 2147483649LL);
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Finalize(env, nullptr, handle, 0), 2147483649LL);
        EXPECT_EQ(fakejni::long_elements(vm, cell)[0], -7);
        UnloadModule(env, handle);
        UnloadModule(env, handle);
        EXPECT_EQ(mock.control->record_count(), 0);
        // The live handle still reaches the module.
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, mock.handle, JNI_TRUE, nullptr, cell),
                  CKR_OK);
        EXPECT_EQ(mock.control->record_count(), 1);
    }
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
}

// Other native code's record holds its own thread's environment and,
// likely, local references: from any other thread it is not used.
TEST_F(SessionTest, ARecordOfOtherNativeCodeIsUsedOnItsThreadOnly) {
    if (!ThreadsWork()) return;
    NotifyContext record = {env, app, callback};
    const CK_FUNCTION_LIST *table = static_cast<const CK_FUNCTION_LIST *>(mock.control->table());
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(table->C_OpenSession(1, CKF_SERIAL_SESSION, &record, COpenSessionCallback, &session), CKR_OK);
    answer = 4;
    EXPECT_EQ(mock.control->notify_from_new_thread(session, 1), CKR_OK);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(mock.control->notify(session, 1), 4u);
    EXPECT_EQ(calls, 1);
}

// Two loads of one file are one module instance: closing or finalising
// through either handle ends the contexts of sessions opened through the
// other, and their global references go at once.
TEST_F(SessionTest, ClosingThroughAnotherHandleOfTheSameLibrary) {
    enum How { kCloseSession, kCloseAll, kFinalize };
    jlong second = LoadModule(env, ModuleFile("mockp11"));
    ASSERT_NE(second, 0);
    mock.control->set_stale_notify(1);
    answer = 6;
    for (How how : {kCloseSession, kCloseAll, kFinalize}) {
        SCOPED_TRACE(how);
        jlong session = OpenOne(1);
        jlong other_slot = OpenOne(2);
        EXPECT_EQ(fakejni::global_refs(vm), globals_at_start + 4);
        if (how == kCloseSession) Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, second, session);
        if (how == kCloseAll) Java_Orvalith_Base_JNI_c_1CloseAllSessions(env, nullptr, second, 1);
        if (how == kFinalize) Java_Orvalith_Base_JNI_c_1Finalize(env, nullptr, second, 0);
        EXPECT_EQ(mock.control->notify(NarrowUlong(session), 1), CKR_OK);
        EXPECT_EQ(mock.control->notify(NarrowUlong(other_slot), 1), how == kFinalize ? CKR_OK : 6u);
        Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, mock.handle, other_slot);
        EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
    }
    // Unloading the second handle leaves what the first one opened.
    jlong kept = OpenOne(1);
    UnloadModule(env, second);
    EXPECT_EQ(mock.control->notify(NarrowUlong(kept), 1), 6u);
}

// A notifying thread the VM will not attach cannot delete the global
// references of a context that ended while it was inside; the next thread
// that has an environment deletes them.
TEST_F(SessionTest, ContextsEndedWhereNoThreadCanBeAttached) {
    if (!ThreadsWork()) return;
    mock.control->set_stale_notify(1);
    fakejni::set_attach_fails(vm, true);
    for (int round = 0; round < 40; round++) {
        jlong session = OpenOne();
        ASSERT_EQ(mock.control->notify_stress_start(NarrowUlong(session), CKN_SURRENDER, 4, 400), 0);
        while (mock.control->notify_stress_calls() < 8) std::this_thread::yield();
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, mock.handle, session), CKR_OK);
        MockStressResult result;
        mock.control->notify_stress_stop(&result);
        EXPECT_EQ(result.nonzero, 0u);
    }
    fakejni::set_attach_fails(vm, false);
    OpenOne();  // a thread with an environment: the orphans go now
    Java_Orvalith_Base_JNI_c_1Finalize(env, nullptr, mock.handle, 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
}

// Threads open sessions with notifications through two handles of one
// library while another thread closes all of a slot, finalises, and
// unloads and reloads the second handle; the module notifies each new
// session on the opening thread and from a thread of its own, during and
// after the open, also once it closed.  At the end every global reference
// is gone, and no sanitizer has anything to report.
TEST_F(SessionTest, OpeningWhileOthersCloseFinaliseAndUnload) {
    if (!ThreadsWork()) return;
    mock.control->set_open_notify(1, CKN_SURRENDER);
    mock.control->set_open_notify_threads(3, CKN_SURRENDER);
    mock.control->set_stale_notify(1);
    const std::string file = ModuleFile("mockp11");
    std::atomic<jlong> second{LoadModule(env, file)};
    ASSERT_NE(second.load(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0}, refused{0};
    MockStressResult notified = {0, 0, 0};
    auto join_notifiers = [&] {
        MockStressResult r;
        mock.control->open_threads_join(&r);
        notified.calls += r.calls;
        notified.nonzero += r.nonzero;
        notified.skipped += r.skipped;
    };
    auto opener = [&](int seed) {
        JNIEnv *e = fakejni::attach(vm);
        jobject cb = fakejni::new_object(e, "test/Notify");
        jobject application = fakejni::new_object(e, "java/lang/Object");
        for (int i = seed; !stop; i++) {
            jlong handle = i % 2 ? mock.handle : second.load();
            jlongArray cell = fakejni::new_long_array(e, {0});
            jlong rv = Java_Orvalith_Base_JNI_c_1OpenSession(e, nullptr, handle, 1 + i % 3 / 2, CKF_SERIAL_SESSION,
                                                             application, cb, cell);
            if (rv == CKR_OK) opened++;
            if (rv == 2147483649LL) refused++;  // the second handle was just unloaded
            if (rv == CKR_OK && i % 3 == 0)
                Java_Orvalith_Base_JNI_c_1CloseSession(e, nullptr, handle, fakejni::long_elements(vm, cell)[0]);
            e->DeleteLocalRef(cell);
        }
        e->DeleteLocalRef(cb);
        e->DeleteLocalRef(application);
        fakejni::detach(vm);
    };
    auto ender = [&] {
        JNIEnv *e = fakejni::attach(vm);
        for (int i = 0; i < 160; i++) {
            switch (i % 4) {
            case 0: Java_Orvalith_Base_JNI_c_1CloseAllSessions(e, nullptr, mock.handle, 1); break;
            case 1: Java_Orvalith_Base_JNI_c_1CloseAllSessions(e, nullptr, second.load(), 2); break;
            case 2: Java_Orvalith_Base_JNI_c_1Finalize(e, nullptr, second.load(), 0); break;
            case 3: UnloadModule(e, second.exchange(LoadModule(e, file))); break;
            }
            if (i % 8 == 7) join_notifiers();
            // Let the openers get on between two ends.
            int seen = opened;
            for (int spin = 0; spin < 100000 && opened == seen; spin++) std::this_thread::yield();
        }
        stop = true;
        fakejni::detach(vm);
    };
    std::vector<std::thread> threads;
    for (int seed = 0; seed < 3; seed++) threads.emplace_back(opener, seed);
    threads.emplace_back(ender);
    for (std::thread &t : threads) t.join();
    join_notifiers();

    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Finalize(env, nullptr, mock.handle, 0), CKR_OK);
    UnloadModule(env, second.load());
    EXPECT_EQ(fakejni::global_refs(vm), globals_at_start);
    EXPECT_GT(opened.load(), 0);
    EXPECT_GT(notified.calls, 0u);
    EXPECT_EQ(notified.nonzero, 0u);  // the method answers 0, an ended context CKR_OK
    std::printf("%d sessions opened, %d refused, %d notifications reached Java, %llu from the module's threads\n",
                opened.load(), refused.load(), calls.load(), static_cast<unsigned long long>(notified.calls));
}
