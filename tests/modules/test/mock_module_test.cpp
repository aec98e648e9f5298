// Checks of the instrumented Cryptoki modules themselves: what each variant
// exports, that calls are recorded exactly as received, that scripts are
// followed, and that the stored callbacks are driven as the bridge's tests
// expect.  Each module is opened with dlopen, the way the bridge opens it.

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mock_control.h"

namespace {

const char *const kCryptokiNames[MOCK_ENTRY_COUNT] = {
    "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList",
    "C_GetSlotList", "C_GetSlotInfo", "C_GetTokenInfo", "C_GetMechanismList",
    "C_GetMechanismInfo", "C_InitToken", "C_InitPIN", "C_SetPIN",
    "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_GetSessionInfo",
    "C_GetOperationState", "C_SetOperationState", "C_Login", "C_Logout",
    "C_CreateObject", "C_CopyObject", "C_DestroyObject", "C_GetObjectSize",
    "C_GetAttributeValue", "C_SetAttributeValue", "C_FindObjectsInit", "C_FindObjects",
    "C_FindObjectsFinal", "C_EncryptInit", "C_Encrypt", "C_EncryptUpdate",
    "C_EncryptFinal", "C_DecryptInit", "C_Decrypt", "C_DecryptUpdate",
    "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate",
    "C_DigestKey", "C_DigestFinal", "C_SignInit", "C_Sign",
    "C_SignUpdate", "C_SignFinal", "C_SignRecoverInit", "C_SignRecover",
    "C_VerifyInit", "C_Verify", "C_VerifyUpdate", "C_VerifyFinal",
    "C_VerifyRecoverInit", "C_VerifyRecover", "C_DigestEncryptUpdate", "C_DecryptDigestUpdate",
    "C_SignEncryptUpdate", "C_DecryptVerifyUpdate", "C_GenerateKey", "C_GenerateKeyPair",
    "C_WrapKey", "C_UnwrapKey", "C_DeriveKey", "C_SeedRandom",
    "C_GenerateRandom", "C_GetFunctionStatus", "C_CancelFunction", "C_WaitForSlotEvent",
};

const char *const kControlNames[] = {
    "mock_variant", "mock_entry_name", "mock_thread_id", "mock_reset",
    "mock_record_count", "mock_record_get", "mock_record_last", "mock_record_entry",
    "mock_record_arg", "mock_record_pointee", "mock_set_result", "mock_set_out",
    "mock_clear_out", "mock_set_entry_null", "mock_set_table_version", "mock_table",
    "mock_table_size", "mock_set_init_words", "mock_has_mutex_callbacks", "mock_call_create_mutex",
    "mock_call_destroy_mutex", "mock_call_lock_mutex", "mock_call_unlock_mutex", "mock_mutex_cycle",
    "mock_mutex_stress", "mock_mutex_counter", "mock_set_next_session", "mock_session_is_open",
    "mock_session_count", "mock_session_stored", "mock_set_open_notify", "mock_open_notify_count",
    "mock_open_notify_result", "mock_set_stale_notify", "mock_notify", "mock_notify_from_new_thread",
    "mock_last_notify_thread", "mock_notify_stress_start", "mock_notify_stress_calls",
    "mock_notify_stress_stop", "mock_set_open_notify_threads", "mock_open_threads_join", "mock_control",
};

struct Variant {
    const char *name;
    const char *path;
    bool has_gfl;
    bool has_wait;
};

const Variant kVariants[] = {
    {"mockp11", MOCKP11_PATH, true, true},
    {"mockp11_gfl_error", MOCKP11_GFL_ERROR_PATH, true, true},
    {"mockp11_no_gfl", MOCKP11_NO_GFL_PATH, false, true},
    {"mockp11_no_wait", MOCKP11_NO_WAIT_PATH, false, false},
};

std::set<std::string> DefinedDynamicSymbols(const char *path)
{
    std::string cmd = std::string(MOCK_NM) + " -D --defined-only '" + path + "'";
    std::set<std::string> names;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return names;
    char line[512];
    while (fgets(line, sizeof line, p) != nullptr) {
        // "<address> <type> <name>"
        char addr[128], type[8], name[256];
        if (sscanf(line, "%127s %7s %255s", addr, type, name) == 3)
            names.insert(name);
    }
    pclose(p);
    return names;
}

// A module opened as the bridge opens it, plus its control table.
struct Module {
    void *handle = nullptr;
    const MockControl *ctl = nullptr;
    CK_FUNCTION_LIST_PTR table = nullptr;

    explicit Module(const char *path)
    {
        handle = dlopen(path, RTLD_LAZY);
        if (handle == nullptr)
            return;
        auto get = reinterpret_cast<MockControlFn>(dlsym(handle, MOCK_CONTROL_SYMBOL));
        if (get != nullptr)
            ctl = get();
        if (ctl != nullptr)
            ctl->reset();
    }
    ~Module()
    {
        if (ctl != nullptr)
            ctl->reset();
        if (handle != nullptr)
            dlclose(handle);
    }
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    void *sym(const char *name) const { return dlsym(handle, name); }

    // The table handed out by C_GetFunctionList (mockp11 only).
    CK_FUNCTION_LIST_PTR FunctionList()
    {
        auto gfl = reinterpret_cast<CK_C_GetFunctionList>(sym("C_GetFunctionList"));
        if (gfl != nullptr && gfl(&table) != CKR_OK)
            table = nullptr;
        return table;
    }

    MockRecord Last(int entry) const
    {
        MockRecord r;
        memset(&r, 0, sizeof r);
        r.entry = -1;
        ctl->record_last(entry, &r);
        return r;
    }
};

uint64_t Addr(const void *p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// ---- pthread-based mutex callbacks, the kind the bridge hands over --------

std::atomic<int> g_creates{0};
std::atomic<int> g_creates_off_main{0};
pthread_t g_main_thread;

CK_RV CreateMutex(void **out)
{
    auto *m = static_cast<pthread_mutex_t *>(malloc(sizeof(pthread_mutex_t)));
    if (m == nullptr || pthread_mutex_init(m, nullptr) != 0) {
        free(m);
        return CKR_FUNCTION_FAILED;
    }
    g_creates++;
    if (!pthread_equal(pthread_self(), g_main_thread))
        g_creates_off_main++;
    *out = m;
    return CKR_OK;
}

CK_RV DestroyMutex(void *m)
{
    pthread_mutex_destroy(static_cast<pthread_mutex_t *>(m));
    free(m);
    return CKR_OK;
}

CK_RV LockMutex(void *m)
{
    return pthread_mutex_lock(static_cast<pthread_mutex_t *>(m)) == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV UnlockMutex(void *m)
{
    return pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m)) == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV RefusingCreateMutex(void **) { return CKR_FUNCTION_FAILED; }

CK_C_INITIALIZE_ARGS MutexArgs(CK_CREATEMUTEX create)
{
    CK_C_INITIALIZE_ARGS args;
    memset(&args, 0, sizeof args);
    args.CreateMutex = create;
    args.DestroyMutex = DestroyMutex;
    args.LockMutex = LockMutex;
    args.UnlockMutex = UnlockMutex;
    args.flags = CKF_OS_LOCKING_OK;
    return args;
}

// ---- a Notify that remembers what it was given -----------------------------

struct NotifySeen {
    std::atomic<int> calls{0};
    std::atomic<CK_SESSION_HANDLE> session{0};
    std::atomic<CK_NOTIFICATION> event{0};
    std::atomic<void *> application{nullptr};
    std::atomic<uint64_t> thread{0};
    CK_RV answer = CKR_OK;
};

NotifySeen g_seen;
const MockControl *g_notify_ctl = nullptr;

CK_RV RecordingNotify(CK_SESSION_HANDLE session, CK_NOTIFICATION event, void *application)
{
    g_seen.session = session;
    g_seen.event = event;
    g_seen.application = application;
    if (g_notify_ctl != nullptr)
        g_seen.thread = g_notify_ctl->thread_id();
    g_seen.calls++;
    return g_seen.answer;
}

void ResetSeen(const MockControl *ctl, CK_RV answer)
{
    g_seen.calls = 0;
    g_seen.session = 0;
    g_seen.event = 0;
    g_seen.application = nullptr;
    g_seen.thread = 0;
    g_seen.answer = answer;
    g_notify_ctl = ctl;
}

class MockP11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_main_thread = pthread_self();
        ASSERT_NE(m.handle, nullptr) << dlerror();
        ASSERT_NE(m.ctl, nullptr);
        ASSERT_EQ(m.ctl->abi, MOCK_CONTROL_ABI);
        ASSERT_NE(m.FunctionList(), nullptr);
        t = m.table;
        m.ctl->reset();
    }

    Module m{MOCKP11_PATH};
    CK_FUNCTION_LIST_PTR t = nullptr;
};

// ---- exports ----------------------------------------------------------------

TEST(MockExports, EachVariantExportsExactlyItsNames)
{
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(v.name);
        std::set<std::string> expected(std::begin(kControlNames), std::end(kControlNames));
        for (int i = 0; i < MOCK_ENTRY_COUNT; ++i) {
            if ((i == MOCK_C_GetFunctionList && !v.has_gfl) || (i == MOCK_C_WaitForSlotEvent && !v.has_wait))
                continue;
            expected.insert(kCryptokiNames[i]);
        }
        EXPECT_EQ(DefinedDynamicSymbols(v.path), expected);

        Module mod(v.path);
        ASSERT_NE(mod.ctl, nullptr);
        EXPECT_STREQ(mod.ctl->variant(), v.name);
        EXPECT_EQ(mod.sym("C_GetFunctionList") != nullptr, v.has_gfl);
        EXPECT_EQ(mod.sym("C_WaitForSlotEvent") != nullptr, v.has_wait);
        EXPECT_NE(mod.sym("C_Initialize"), nullptr);
    }
}

TEST(MockExports, EntryNamesFollowTheTableOrder)
{
    Module mod(MOCKP11_PATH);
    ASSERT_NE(mod.ctl, nullptr);
    for (int i = 0; i < MOCK_ENTRY_COUNT; ++i)
        EXPECT_STREQ(mod.ctl->entry_name(i), kCryptokiNames[i]);
    EXPECT_EQ(mod.ctl->entry_name(MOCK_ENTRY_COUNT), nullptr);
}

TEST(MockExports, OpeningAgainGivesTheSameInstance)
{
    Module first(MOCKP11_PATH);
    Module second(MOCKP11_PATH);
    ASSERT_NE(first.ctl, nullptr);
    EXPECT_EQ(first.ctl, second.ctl);
    auto info = reinterpret_cast<CK_C_GetInfo>(first.sym("C_GetInfo"));
    ASSERT_NE(info, nullptr);
    info(nullptr);
    EXPECT_EQ(second.ctl->record_count(), 1);
}

// ---- function table ---------------------------------------------------------

TEST_F(MockP11, FunctionListIsTheModulesOwnTableInNativeLayout)
{
    EXPECT_EQ(static_cast<const void *>(t), m.ctl->table());
    EXPECT_EQ(m.ctl->table_size(), sizeof(CK_FUNCTION_LIST));
    EXPECT_EQ(t->version.major, 2);
    EXPECT_EQ(t->version.minor, 40);
    const auto *bytes = reinterpret_cast<const unsigned char *>(t);
    for (int i = 0; i < MOCK_ENTRY_COUNT; ++i) {
        void *entry;
        memcpy(&entry, bytes + offsetof(CK_FUNCTION_LIST, C_Initialize) + i * sizeof(void *), sizeof entry);
        EXPECT_EQ(entry, m.sym(kCryptokiNames[i])) << kCryptokiNames[i];
    }
}

TEST_F(MockP11, EntriesCanBeClearedAndRestored)
{
    m.ctl->set_entry_null(MOCK_C_GetFunctionStatus, 1);
    m.ctl->set_entry_null(MOCK_C_Initialize, 1);
    EXPECT_EQ(t->C_GetFunctionStatus, nullptr);
    EXPECT_EQ(t->C_Initialize, nullptr);
    EXPECT_NE(t->C_CancelFunction, nullptr);
    m.ctl->set_entry_null(MOCK_C_GetFunctionStatus, 0);
    EXPECT_EQ(reinterpret_cast<void *>(t->C_GetFunctionStatus), m.sym("C_GetFunctionStatus"));
    m.ctl->reset();
    EXPECT_EQ(reinterpret_cast<void *>(t->C_Initialize), m.sym("C_Initialize"));
}

TEST_F(MockP11, VersionBytesAreScriptable)
{
    m.ctl->set_table_version(0, 0);
    EXPECT_EQ(t->version.major, 0);
    EXPECT_EQ(t->version.minor, 0);
    m.ctl->set_table_version(2, 20);
    EXPECT_EQ(t->version.minor, 20);
    m.ctl->reset();
    EXPECT_EQ(t->version.major, 2);
    EXPECT_EQ(t->version.minor, 40);
}

TEST(MockFunctionList, FailingVariantWritesABogusPointer)
{
    Module mod(MOCKP11_GFL_ERROR_PATH);
    auto gfl = reinterpret_cast<CK_C_GetFunctionList>(mod.sym("C_GetFunctionList"));
    ASSERT_NE(gfl, nullptr);
    CK_FUNCTION_LIST_PTR list = nullptr;
    EXPECT_EQ(gfl(&list), CKR_GENERAL_ERROR);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(list), MOCK_BOGUS_TABLE);
    MockRecord r = mod.Last(MOCK_C_GetFunctionList);
    EXPECT_EQ(r.args[0].value, Addr(&list));
    EXPECT_EQ(r.rv, CKR_GENERAL_ERROR);
}

TEST_F(MockP11, ScriptedFunctionListFailureAlsoScribbles)
{
    m.ctl->set_result(MOCK_C_GetFunctionList, CKR_FUNCTION_FAILED);
    CK_FUNCTION_LIST_PTR list = nullptr;
    EXPECT_EQ(t->C_GetFunctionList(&list), CKR_FUNCTION_FAILED);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(list), MOCK_BOGUS_TABLE);
}

// ---- recording and scripts --------------------------------------------------

TEST_F(MockP11, RecordsRawArgumentsAndCellContents)
{
    unsigned char data[5] = {1, 2, 3, 4, 5};
    CK_ULONG out_len = 77;
    m.ctl->set_result(MOCK_C_Encrypt, CKR_BUFFER_TOO_SMALL);
    m.ctl->set_out(MOCK_C_Encrypt, 4, 128);
    EXPECT_EQ(t->C_Encrypt(0x1234, data, 5, nullptr, &out_len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out_len, 128u) << "a scripted value is stored through the cell, whatever the result";

    MockRecord r;
    ASSERT_EQ(m.ctl->record_count(), 1);
    ASSERT_EQ(m.ctl->record_get(0, &r), 1);
    EXPECT_EQ(r.entry, MOCK_C_Encrypt);
    EXPECT_EQ(r.nargs, 5);
    EXPECT_EQ(r.thread, m.ctl->thread_id());
    EXPECT_EQ(r.rv, CKR_BUFFER_TOO_SMALL);
    const uint32_t kinds[] = {MOCK_ARG_ULONG, MOCK_ARG_POINTER, MOCK_ARG_ULONG, MOCK_ARG_POINTER, MOCK_ARG_CELL};
    const uint64_t values[] = {0x1234, Addr(data), 5, 0, Addr(&out_len)};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.args[i].kind, kinds[i]) << i;
        EXPECT_EQ(r.args[i].value, values[i]) << i;
    }
    EXPECT_EQ(r.args[4].has_pointee, 1u);
    EXPECT_EQ(r.args[4].pointee, 77u) << "the cell is read on entry, before the scripted write";
    EXPECT_EQ(m.ctl->record_arg(0, 0), 0x1234u);
    EXPECT_EQ(m.ctl->record_pointee(0, 4), 77u);
    EXPECT_EQ(m.ctl->record_entry(0), MOCK_C_Encrypt);
    EXPECT_EQ(m.ctl->record_entry(1), -1);
}

TEST_F(MockP11, UnscriptedCellsAreLeftAlone)
{
    CK_ULONG count = 10;
    EXPECT_EQ(t->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 10u);
    MockRecord r = m.Last(MOCK_C_GetSlotList);
    EXPECT_EQ(r.args[0].kind, static_cast<uint32_t>(MOCK_ARG_BBOOL));
    EXPECT_EQ(r.args[0].value, 1u);
    EXPECT_EQ(r.args[1].value, 0u);
    EXPECT_EQ(r.args[2].pointee, 10u);

    // A null cell is recorded without a pointee and never written.
    m.ctl->set_out(MOCK_C_GetSlotList, 2, 3);
    EXPECT_EQ(t->C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_OK);
    r = m.Last(MOCK_C_GetSlotList);
    EXPECT_EQ(r.args[0].value, 0u);
    EXPECT_EQ(r.args[2].has_pointee, 0u);

    m.ctl->clear_out(MOCK_C_GetSlotList, 2);
    EXPECT_EQ(t->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 10u);
}

TEST_F(MockP11, OutputCellsOfSeveralKinds)
{
    struct Case {
        const char *what;
        int entry;
        int arg;
        CK_RV (*call)(CK_FUNCTION_LIST_PTR, CK_ULONG *);
    };
    const Case cases[] = {
        {"new object", MOCK_C_CreateObject, 3,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_CreateObject(1, nullptr, 0, c); }},
        {"copied object", MOCK_C_CopyObject, 4,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_CopyObject(1, 2, nullptr, 0, c); }},
        {"found count", MOCK_C_FindObjects, 3,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_FindObjects(1, nullptr, 8, c); }},
        {"slot event", MOCK_C_WaitForSlotEvent, 1,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_WaitForSlotEvent(CKF_DONT_BLOCK, c, nullptr); }},
        {"unwrapped key", MOCK_C_UnwrapKey, 7,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_UnwrapKey(1, nullptr, 2, nullptr, 0, nullptr, 0, c); }},
        {"wrapped length", MOCK_C_WrapKey, 5,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_WrapKey(1, nullptr, 2, 3, nullptr, c); }},
        {"recovered length", MOCK_C_VerifyRecover, 4,
         [](CK_FUNCTION_LIST_PTR f, CK_ULONG *c) { return f->C_VerifyRecover(1, nullptr, 9, nullptr, c); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m.ctl->reset();
        m.ctl->set_out(c.entry, c.arg, 0xABCD);
        m.ctl->set_result(c.entry, CKR_DEVICE_ERROR);
        CK_ULONG cell = 5;
        EXPECT_EQ(c.call(t, &cell), CKR_DEVICE_ERROR);
        EXPECT_EQ(cell, 0xABCDu);
        MockRecord r = m.Last(c.entry);
        ASSERT_EQ(r.entry, c.entry);
        EXPECT_EQ(r.args[c.arg].kind, static_cast<uint32_t>(MOCK_ARG_CELL));
        EXPECT_EQ(r.args[c.arg].pointee, 5u);
    }
}

TEST_F(MockP11, KeyPairWritesBothHandles)
{
    CK_ULONG pub = 0, priv = 0;
    m.ctl->set_out(MOCK_C_GenerateKeyPair, 6, 11);
    m.ctl->set_out(MOCK_C_GenerateKeyPair, 7, 12);
    EXPECT_EQ(t->C_GenerateKeyPair(3, nullptr, nullptr, 4, nullptr, 5, &pub, &priv), CKR_OK);
    EXPECT_EQ(pub, 11u);
    EXPECT_EQ(priv, 12u);
    MockRecord r = m.Last(MOCK_C_GenerateKeyPair);
    EXPECT_EQ(r.nargs, 8);
    EXPECT_EQ(r.args[3].value, 4u);
    EXPECT_EQ(r.args[5].value, 5u);
}

TEST_F(MockP11, ReservedPointersAndCallsFromOtherThreads)
{
    EXPECT_EQ(t->C_Finalize(reinterpret_cast<void *>(0x5678)), CKR_OK);
    EXPECT_EQ(m.Last(MOCK_C_Finalize).args[0].value, 0x5678u);

    uint64_t other = 0;
    std::thread([&] {
        t->C_Logout(9);
        other = m.ctl->thread_id();
    }).join();
    MockRecord r = m.Last(MOCK_C_Logout);
    EXPECT_EQ(r.thread, other);
    EXPECT_NE(r.thread, m.ctl->thread_id());
}

TEST_F(MockP11, ResetForgetsRecordsAndScripts)
{
    CK_ULONG cell = 1;
    m.ctl->set_result(MOCK_C_Sign, CKR_KEY_HANDLE_INVALID);
    m.ctl->set_out(MOCK_C_Sign, 4, 99);
    t->C_Sign(1, nullptr, 0, nullptr, &cell);
    m.ctl->reset();
    EXPECT_EQ(m.ctl->record_count(), 0);
    cell = 1;
    EXPECT_EQ(t->C_Sign(1, nullptr, 0, nullptr, &cell), CKR_OK);
    EXPECT_EQ(cell, 1u);
}

// ---- C_Initialize and mutexes ----------------------------------------------

TEST_F(MockP11, InitializeRecordsTheRawRecord)
{
    EXPECT_EQ(t->C_Initialize(nullptr), CKR_OK);
    MockRecord r = m.Last(MOCK_C_Initialize);
    EXPECT_EQ(r.init_args_null, 1);
    EXPECT_EQ(r.init_word_count, 0);
    EXPECT_EQ(m.ctl->has_mutex_callbacks(), 0);

    CK_C_INITIALIZE_ARGS args = MutexArgs(CreateMutex);
    args.pReserved = reinterpret_cast<void *>(0x77);
    EXPECT_EQ(t->C_Initialize(&args), CKR_OK);
    r = m.Last(MOCK_C_Initialize);
    EXPECT_EQ(r.init_args_null, 0);
    ASSERT_EQ(r.init_word_count, 6);
    EXPECT_EQ(r.args[0].value, Addr(&args));
    EXPECT_EQ(r.init_words[0], static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&CreateMutex)));
    EXPECT_EQ(r.init_words[3], static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&UnlockMutex)));
    EXPECT_EQ(r.init_words[4], CKF_OS_LOCKING_OK);
    EXPECT_EQ(r.init_words[5], 0x77u);
    EXPECT_EQ(m.ctl->has_mutex_callbacks(), 1);
}

TEST_F(MockP11, InitializeReadsSevenWordsWhenTold)
{
    uintptr_t nss[7] = {0, 0, 0, 0, 3, 0x4000, 0x5000};
    m.ctl->set_init_words(7);
    EXPECT_EQ(t->C_Initialize(nss), CKR_OK);
    MockRecord r = m.Last(MOCK_C_Initialize);
    ASSERT_EQ(r.init_word_count, 7);
    EXPECT_EQ(r.init_words[5], 0x4000u);
    EXPECT_EQ(r.init_words[6], 0x5000u);
}

TEST_F(MockP11, StoredCallbacksCanBeCalledOnce)
{
    CK_RV rv[4];
    EXPECT_EQ(m.ctl->mutex_cycle(0, rv), 4) << "nothing stored yet";
    EXPECT_EQ(rv[0], MOCK_RV_NO_CALLBACK);

    CK_C_INITIALIZE_ARGS args = MutexArgs(CreateMutex);
    t->C_Initialize(&args);
    void *mutex = nullptr;
    ASSERT_EQ(m.ctl->call_create_mutex(&mutex), CKR_OK);
    EXPECT_EQ(m.ctl->call_lock_mutex(mutex), CKR_OK);
    EXPECT_EQ(m.ctl->call_unlock_mutex(mutex), CKR_OK);
    EXPECT_EQ(m.ctl->call_destroy_mutex(mutex), CKR_OK);

    g_creates_off_main = 0;
    EXPECT_EQ(m.ctl->mutex_cycle(1, rv), 0);
    for (CK_RV v : rv)
        EXPECT_EQ(v, CKR_OK);
    EXPECT_EQ(g_creates_off_main.load(), 1);
}

TEST_F(MockP11, MutexStressKeepsTheCounterWhole)
{
    CK_C_INITIALIZE_ARGS args = MutexArgs(CreateMutex);
    t->C_Initialize(&args);
    g_creates = 0;
    g_creates_off_main = 0;
    const int threads = 8, iterations = 2000;
    EXPECT_EQ(m.ctl->mutex_stress(threads, iterations), 0);
    EXPECT_EQ(m.ctl->mutex_counter(), static_cast<uint64_t>(threads) * iterations);
    EXPECT_EQ(g_creates.load(), threads + 1);
    EXPECT_EQ(g_creates_off_main.load(), threads);
}

TEST_F(MockP11, MutexStressCountsRefusedMutexes)
{
    EXPECT_EQ(m.ctl->mutex_stress(2, 10), -1) << "no callbacks stored";
    CK_C_INITIALIZE_ARGS args = MutexArgs(RefusingCreateMutex);
    t->C_Initialize(&args);
    EXPECT_GT(m.ctl->mutex_stress(2, 10), 0);
    CK_RV rv[4];
    m.ctl->mutex_cycle(1, rv);
    EXPECT_EQ(rv[0], CKR_FUNCTION_FAILED);
}

// ---- sessions and notifications -------------------------------------------

TEST_F(MockP11, OpenSessionAssignsAndStoresHandles)
{
    int app = 0;
    CK_SESSION_HANDLE h1 = 0, h2 = 0, h3 = 0;
    EXPECT_EQ(t->C_OpenSession(1, CKF_SERIAL_SESSION, &app, RecordingNotify, &h1), CKR_OK);
    EXPECT_EQ(t->C_OpenSession(2, CKF_SERIAL_SESSION, &app, nullptr, &h2), CKR_OK);
    EXPECT_EQ(h1, MOCK_FIRST_SESSION_HANDLE);
    EXPECT_EQ(h2, MOCK_FIRST_SESSION_HANDLE + 1);
    m.ctl->set_out(MOCK_C_OpenSession, 4, 0xFFFFFFF0UL);
    EXPECT_EQ(t->C_OpenSession(1, 0, nullptr, nullptr, &h3), CKR_OK);
    EXPECT_EQ(h3, 0xFFFFFFF0UL);
    EXPECT_EQ(m.ctl->session_count(), 3);

    MockRecord r = m.Last(MOCK_C_OpenSession);
    EXPECT_EQ(r.args[4].kind, static_cast<uint32_t>(MOCK_ARG_CELL));
    r = MockRecord();
    m.ctl->record_get(0, &r);
    EXPECT_EQ(r.args[2].value, Addr(&app));
    EXPECT_EQ(r.args[3].value, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&RecordingNotify)));
    uintptr_t stored_app = 0, stored_notify = 0;
    ASSERT_EQ(m.ctl->session_stored(h1, &stored_app, &stored_notify), 1);
    EXPECT_EQ(stored_app, reinterpret_cast<uintptr_t>(&app));

    EXPECT_EQ(t->C_CloseAllSessions(1), CKR_OK);
    EXPECT_EQ(m.ctl->session_is_open(h1), 0);
    EXPECT_EQ(m.ctl->session_is_open(h2), 1);
    EXPECT_EQ(t->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(m.ctl->session_count(), 0);
}

TEST_F(MockP11, FailedOpenStoresNothing)
{
    m.ctl->set_result(MOCK_C_OpenSession, CKR_SLOT_ID_INVALID);
    CK_SESSION_HANDLE h = 42;
    EXPECT_EQ(t->C_OpenSession(7, 0, nullptr, RecordingNotify, &h), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(h, 42u);
    EXPECT_EQ(m.ctl->session_count(), 0);
}

TEST_F(MockP11, NotifiesDuringOpenOnTheCallingThread)
{
    ResetSeen(m.ctl, 1);
    int app = 0;
    m.ctl->set_open_notify(1, CKN_SURRENDER);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(t->C_OpenSession(1, 0, &app, RecordingNotify, &h), CKR_OK);
    EXPECT_EQ(g_seen.calls.load(), 1);
    EXPECT_EQ(g_seen.session.load(), h);
    EXPECT_EQ(g_seen.event.load(), static_cast<CK_NOTIFICATION>(CKN_SURRENDER));
    EXPECT_EQ(g_seen.application.load(), &app);
    EXPECT_EQ(g_seen.thread.load(), m.ctl->thread_id());
    EXPECT_EQ(m.ctl->open_notify_count(), 1);
    EXPECT_EQ(m.ctl->open_notify_result(), 1u);
}

TEST_F(MockP11, NotifiesLaterFromThisOrANewThread)
{
    int app = 0;
    CK_SESSION_HANDLE h = 0;
    t->C_OpenSession(1, 0, &app, RecordingNotify, &h);

    ResetSeen(m.ctl, 3);
    EXPECT_EQ(m.ctl->notify(h, 5), 3u);
    EXPECT_EQ(g_seen.application.load(), &app);
    EXPECT_EQ(g_seen.thread.load(), m.ctl->thread_id());

    ResetSeen(m.ctl, 4);
    EXPECT_EQ(m.ctl->notify_from_new_thread(h, 6), 4u);
    EXPECT_EQ(g_seen.event.load(), 6u);
    EXPECT_NE(g_seen.thread.load(), m.ctl->thread_id());
    EXPECT_EQ(m.ctl->last_notify_thread(), g_seen.thread.load());

    EXPECT_EQ(m.ctl->notify(h + 100, 0), MOCK_RV_NO_SESSION);
}

TEST_F(MockP11, ClosedSessionsAreNotifiedOnlyInStaleMode)
{
    int app = 0;
    CK_SESSION_HANDLE h = 0;
    t->C_OpenSession(1, 0, &app, RecordingNotify, &h);
    EXPECT_EQ(t->C_CloseSession(h), CKR_OK);
    ResetSeen(m.ctl, CKR_OK);
    EXPECT_EQ(m.ctl->notify(h, 0), MOCK_RV_NO_SESSION);
    EXPECT_EQ(g_seen.calls.load(), 0);

    m.ctl->set_stale_notify(1);
    EXPECT_EQ(m.ctl->notify(h, 0), CKR_OK);
    EXPECT_EQ(g_seen.calls.load(), 1);
    EXPECT_EQ(g_seen.application.load(), &app);

    CK_SESSION_HANDLE quiet = 0;
    t->C_OpenSession(1, 0, &app, nullptr, &quiet);
    EXPECT_EQ(m.ctl->notify(quiet, 0), MOCK_RV_NO_CALLBACK);
}

TEST_F(MockP11, ScriptedCloseFailureKeepsTheSession)
{
    CK_SESSION_HANDLE h = 0;
    t->C_OpenSession(1, 0, nullptr, RecordingNotify, &h);
    m.ctl->set_result(MOCK_C_CloseSession, CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(t->C_CloseSession(h), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(m.ctl->session_is_open(h), 1);
}

TEST_F(MockP11, StressNotifiesWhileTheSessionCloses)
{
    int app = 0;
    CK_SESSION_HANDLE h = 0;
    t->C_OpenSession(1, 0, &app, RecordingNotify, &h);
    ResetSeen(m.ctl, CKR_OK);
    ASSERT_EQ(m.ctl->notify_stress_start(h, CKN_SURRENDER, 4, 1000000), 0);
    while (m.ctl->notify_stress_calls() < 200)
        std::this_thread::yield();
    EXPECT_EQ(t->C_CloseSession(h), CKR_OK);
    MockStressResult res{};
    m.ctl->notify_stress_stop(&res);
    EXPECT_GE(res.calls, 200u);
    EXPECT_EQ(res.nonzero, 0u);
    EXPECT_EQ(static_cast<uint64_t>(g_seen.calls.load()), res.calls);
    EXPECT_EQ(g_seen.application.load(), &app);
    EXPECT_EQ(m.ctl->notify_stress_start(h, 0, 0, 1), -1);
}

}  // namespace
