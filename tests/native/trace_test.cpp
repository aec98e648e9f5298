// The call trace of the token natives: what a line says, what it never
// says, and that switching it on changes no answer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"
#include "pointer/registry.h"
#include "runtime/trace.h"
#include "support.h"
#include "token_natives.h"

extern "C" {
jobject JNICALL Java_Orvalith_Base_JNI_00024Pointer_getInstance__I(JNIEnv *, jclass, jint);
void JNICALL Java_Orvalith_Base_JNI_00024Pointer_free(JNIEnv *, jobject);
jlong JNICALL Java_Orvalith_Base_JNI_c_1OpenSession(JNIEnv *, jclass, jlong, jlong, jlong, jobject,
                                                    jobject, jlongArray);
}

namespace {

const char kTraceFile[] = "orvjni-trace-test.log";

void SetVariable(const char *name, const char *value) {
#if defined(_WIN32)
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
#endif
}

// Points the trace somewhere (or nowhere) and has the library read it again.
void Trace(const char *where, bool blocks = false) {
    SetVariable("ORVJNI_TRACE", where);
    SetVariable("ORVJNI_TRACE_BLOCKS", blocks ? "1" : nullptr);
    TraceReset();
}

std::vector<std::string> Lines() {
    std::ifstream in(kTraceFile);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool FileExists(const char *path) {
    FILE *f = fopen(path, "r");
    if (f != nullptr) fclose(f);
    return f != nullptr;
}

class TraceTest : public VmTest {
protected:
    void SetUp() override {
        VmTest::SetUp();
        remove(kTraceFile);
        mock = LoadMock(env);
        ASSERT_NE(mock.handle, 0);
    }
    void TearDown() override {
        UnloadModule(env, mock.handle);
        Trace(nullptr);
        remove(kTraceFile);
        VmTest::TearDown();
    }
    // A block of the library's registry, as getInstance(int) makes it.
    jobject Block(jint size) {
        return Java_Orvalith_Base_JNI_00024Pointer_getInstance__I(env, nullptr, size);
    }
    void *Address(jobject pointer) { return GetPointerValue(env, pointer); }
    void Free(jobject pointer) { Java_Orvalith_Base_JNI_00024Pointer_free(env, pointer); }

    MockModule mock;
};

}  // namespace

TEST_F(TraceTest, OffWritesNothingAndOpensNothing) {
    Trace(nullptr);
    jlongArray cell = fakejni::new_long_array(env, {0});
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, mock.handle, JNI_TRUE, nullptr, cell), CKR_OK);
    EXPECT_FALSE(TraceOn());
    Trace("");  // empty is off too
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, mock.handle, 1), CKR_OK);
    EXPECT_FALSE(TraceOn());
    EXPECT_FALSE(FileExists(kTraceFile));
}

// One call of each shape, and the line it gives: values in and out,
// answers by name, and the layouts the native knows.
TEST_F(TraceTest, LinesShowArgumentsAsTheModuleGotThem) {
    Trace(kTraceFile);
    jlongArray count = fakejni::new_long_array(env, {0x10});
    mock.control->set_out(MOCK_C_GetSlotList, 2, 3);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, mock.handle, JNI_TRUE, nullptr, count), CKR_OK);

    jobject mechanism = Block(sizeof(CK_MECHANISM));
    *static_cast<CK_MECHANISM *>(Address(mechanism)) = CK_MECHANISM{CKM_SHA256_RSA_PKCS, nullptr, 0};
    mock.control->set_result(MOCK_C_SignInit, CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1SignInit(env, nullptr, mock.handle, 0x1001, mechanism, 0x2a),
              CKR_KEY_HANDLE_INVALID);

    jobject attributes = Block(2 * sizeof(CK_ATTRIBUTE));
    CK_ATTRIBUTE *a = static_cast<CK_ATTRIBUTE *>(Address(attributes));
    a[0] = CK_ATTRIBUTE{CKA_CLASS, nullptr, 0};
    a[1] = CK_ATTRIBUTE{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1FindObjectsInit(env, nullptr, mock.handle, 0x1001, attributes, 2), CKR_OK);

    jlongArray key = fakejni::new_long_array(env, {0});
    mock.control->set_out(MOCK_C_GenerateKey, 4, 0x77);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GenerateKey(env, nullptr, mock.handle, 0x1001, mechanism, attributes, 2, key),
              CKR_OK);
    mock.control->reset();

    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    struct Expect {
        const char *native;
        std::vector<std::string> parts;
    } expected[] = {
        {"c_GetSlotList", {"CK_TRUE, null, [0x10 -> 0x3]) = CKR_OK (0x0) in "}},
        {"c_SignInit",
         {"0x1001, ", "[size " + std::to_string(sizeof(CK_MECHANISM)) + ", registered] {CKM_SHA256_RSA_PKCS (0x",
          "}, 0x2a) = CKR_KEY_HANDLE_INVALID (0x60) in "}},
        {"c_FindObjectsInit", {"registered] {CKA_CLASS, CKA_LABEL}, 0x2) = CKR_OK (0x0)"}},
        {"c_GenerateKey", {"{CKM_SHA256_RSA_PKCS", "{CKA_CLASS, CKA_LABEL}, 0x2, [-> 0x77]) = CKR_OK"}},
    };
    for (size_t i = 0; i < lines.size(); i++) {
        SCOPED_TRACE(lines[i]);
        // "<date>T<time>Z tid=<n> <native>(module=<handle>, ..."
        EXPECT_EQ(lines[i].find('T'), 10u);
        EXPECT_NE(lines[i].find("Z tid="), std::string::npos);
        EXPECT_NE(lines[i].find(std::string(" ") + expected[i].native + "(module=0x"), std::string::npos);
        for (const std::string &part : expected[i].parts) EXPECT_NE(lines[i].find(part), std::string::npos) << part;
        EXPECT_EQ(lines[i].compare(lines[i].size() - 3, 3, " us"), 0);
    }
    Free(mechanism);
    Free(attributes);
}

// Calls the module never saw say why, and answer what they answer untraced.
TEST_F(TraceTest, CallsThatDoNotReachTheModuleSayWhy) {
    Trace(kTraceFile);
    jlongArray empty = fakejni::new_long_array(env, {});
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetObjectSize(env, nullptr, mock.handle, 1, 2, empty), CKR_ARGUMENTS_BAD);
    fakejni::define_class(vm, "test/NoP");
    jobject no_p = fakejni::new_object(env, "test/NoP");
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSessionInfo(env, nullptr, mock.handle, 1, no_p), CKR_ARGUMENTS_BAD);
    TakeException();  // the missing field's own exception
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, 0, 1), CKR_NO_FUNCTION);
    // Cleared before the load: some builds copy the module's table then.
    mock.control->set_entry_null(MOCK_C_Logout, 1);
    jlong without = LoadModule(env, ModuleFile("mockp11"));
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, without, 1), CKR_NO_FUNCTION);
    UnloadModule(env, without);
    mock.control->reset();
    MockModule other = LoadMock(env);
    UnloadModule(env, other.handle);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, other.handle, 1), CKR_NO_FUNCTION);
    jlongArray cell = fakejni::new_long_array(env, {0});
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1OpenSession(env, nullptr, other.handle, 1, CKF_SERIAL_SESSION, nullptr,
                                                    nullptr, cell),
              CKR_NO_FUNCTION);

    std::string all;
    for (const std::string &line : Lines()) all += line + "\n";
    const char *expected[] = {
        "c_GetObjectSize(module=", ", 0x1, 0x2, <a null or empty cell>) refused: argument 3 cannot be passed = CKR_ARGUMENTS_BAD (0x7)\n",
        "Pointer an object without \"p\": no address is read from it\n",
        ", 0x1, <a Pointer without \"p\">) refused: argument 2 cannot be passed = CKR_ARGUMENTS_BAD (0x7)\n",
        "c_Logout(module=0x0, 0x1) not called: no module handle = CKR_NO_FUNCTION (0x80000001)\n",
        "not called: no such entry in the module's table = CKR_NO_FUNCTION (0x80000001)\n",
        "unloadExternalModule(module=0x",
        "0x1) not called: the module handle is not live = CKR_NO_FUNCTION (0x80000001)\n",
        "c_OpenSession(module=", "application=null, callback=null, [out]) not called: the module handle is not live",
    };
    for (const char *part : expected) EXPECT_NE(all.find(part), std::string::npos) << part << "\nin\n" << all;
}

// A PIN shows as its length; its bytes and its address appear nowhere.
TEST_F(TraceTest, PinsShowOnlyTheirLength) {
    Trace(kTraceFile);
    jobject old_pin = Block(8), new_pin = Block(6);
    // Letters that no name, number or thread id in a line can hold (digits
    // turned up in a thread id).
    memcpy(Address(old_pin), "qzxwvkjy", 8);
    memcpy(Address(new_pin), "zqxjkv", 6);
    char address[32];
    snprintf(address, sizeof address, "0x%lx", TraceBits(Address(old_pin)));
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Login(env, nullptr, mock.handle, 0x1001, CKU_USER, old_pin, 8), CKR_OK);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1SetPIN(env, nullptr, mock.handle, 0x1001, old_pin, 8, new_pin, 6), CKR_OK);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1InitPIN(env, nullptr, mock.handle, 0x1001, new_pin, 6), CKR_OK);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("c_Login(module=0x"), std::string::npos);
    EXPECT_NE(lines[0].find(", 0x1001, 0x1, <PIN, 8 bytes>, 0x8) = CKR_OK"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(", 0x1001, <PIN, 8 bytes>, 0x8, <PIN, 6 bytes>, 0x6) = CKR_OK"), std::string::npos) << lines[1];
    for (const std::string &line : lines) {
        EXPECT_EQ(line.find("qzxw"), std::string::npos) << line;
        EXPECT_EQ(line.find("zqxj"), std::string::npos) << line;
        EXPECT_EQ(line.find(address), std::string::npos) << line;
    }
    Free(old_pin);
    Free(new_pin);
}

// The registry's events at the lower level, and what unloading leaves.
TEST_F(TraceTest, BlockEventsCarryTheLiveCount) {
    Trace(kTraceFile, true);
    size_t before = RegistryCount();
    jobject block = Block(24);
    void *address = Address(block);
    Free(block);
    char registered[128], released[128];
    snprintf(registered, sizeof registered, " block register 0x%lx [allocated, 24 bytes, 1 refs], %lu live", TraceBits(address),
             static_cast<unsigned long>(before + 1));
    snprintf(released, sizeof released, " block release 0x%lx [allocated, 24 bytes, 0 refs], %lu live", TraceBits(address),
             static_cast<unsigned long>(before));
    MockModule other = LoadMock(env);
    UnloadModule(env, other.handle);
    std::string all;
    for (const std::string &line : Lines()) all += line + "\n";
    EXPECT_NE(all.find(std::string(registered) + "\n"), std::string::npos) << all;
    EXPECT_NE(all.find(std::string(released) + "\n"), std::string::npos) << all;
    EXPECT_NE(all.find("loadExternalModule(\""), std::string::npos) << all;
    EXPECT_NE(all.find(" live at unloadExternalModule: "), std::string::npos) << all;
}

// The first failure to write ends the trace; no native answers otherwise.
TEST_F(TraceTest, AFailingOutputStopsTheTraceAndNothingElse) {
#if !defined(_WIN32)
    Trace("/dev/full");
    EXPECT_TRUE(TraceOn());
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, mock.handle, 1), CKR_OK);
    EXPECT_FALSE(TraceOn());
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, mock.handle, 1), CKR_OK);
#endif
    Trace("no-such-folder/trace.log");
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Logout(env, nullptr, mock.handle, 1), CKR_OK);
    EXPECT_FALSE(TraceOn());
    EXPECT_FALSE(FileExists("no-such-folder/trace.log"));
}

// Lines of calls on several threads never run into each other.
TEST_F(TraceTest, LinesOfThreadsStayWhole) {
    if (!ThreadsWork()) return;
    Trace(kTraceFile);
    const int kThreads = 4, kCalls = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            JNIEnv *own = fakejni::attach(vm);
            for (int i = 0; i < kCalls; i++) Java_Orvalith_Base_JNI_c_1CloseSession(own, nullptr, mock.handle, 0x100 + t);
            fakejni::detach(vm);
        });
    for (std::thread &t : threads) t.join();
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kCalls));
    for (const std::string &line : lines) {
        ASSERT_EQ(line.find('T'), 10u) << line;
        ASSERT_NE(line.find("c_CloseSession(module=0x"), std::string::npos) << line;
        ASSERT_EQ(line.compare(line.size() - 3, 3, " us"), 0) << line;
    }
}

// A notification during c_OpenSession: whom it reached and its answer, then
// the open itself with the session it gave.
TEST_F(TraceTest, NotificationsSayWhereTheyWent) {
    fakejni::define_class(vm, "test/Notify", "java/lang/Object", {},
                          {{"callback", "(JJLjava/lang/Object;)J",
                            [](JNIEnv *, jobject, const jvalue *) { return fakejni::jv_long(CKR_CANCEL); }}});
    jobject callback = fakejni::new_object(env, "test/Notify");
    Trace(kTraceFile);
    mock.control->set_open_notify(1, CKN_SURRENDER);
    jlongArray cell = fakejni::new_long_array(env, {0});
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1OpenSession(env, nullptr, mock.handle, 1, CKF_SERIAL_SESSION, nullptr,
                                                    callback, cell),
              CKR_OK);
    jlong session = fakejni::long_elements(vm, cell)[0];
    mock.control->reset();
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, mock.handle, session), CKR_OK);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    char opened[64];
    snprintf(opened, sizeof opened, "[-> 0x%lx]) = CKR_OK (0x0) in ", static_cast<unsigned long>(session));
    EXPECT_NE(lines[0].find(" notify(session=0x"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(") delivered on a Java thread = CKR_CANCEL (0x1)"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" c_OpenSession(module=0x"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(std::string(", 0x1, 0x4, application=null, callback=object, ") + opened),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find(" c_CloseSession(module="), std::string::npos) << lines[2];
}

// A call refused with no argument to blame (c_OpenSession without memory
// for its context) says so; it once sent the line writer looking for the
// refused argument forever.
TEST_F(TraceTest, ARefusalWithoutAnArgumentSaysWhy) {
    Trace(kTraceFile);
    TokenTrace call{"c_OpenSession", mock.handle, 0, kTokenRefused, CKR_HOST_MEMORY, 0};
    TraceLine line;
    TraceTokenBegin(&line, call);
    TraceTokenEnd(&line, call);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(") refused: no memory for the bridge's own record = CKR_HOST_MEMORY (0x2)"),
              std::string::npos)
        << lines[0];
}
