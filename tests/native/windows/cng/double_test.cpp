// The natives against the suite's recording ncrypt.dll and cryptui.dll:
// what each function receives, in which order, and what comes back into
// Java.  Runs with WINEDLLOVERRIDES naming both libraries native, and the
// stand-ins' folder on the DLL search path.
#include <functional>

#include "cng_support.h"
#include "windows/runtime_binding.h"

namespace {

// Values whose every bit shows: handles with something in the high half
// that must not reach CNG, bit 31 set where a sign could leak in.
const jlong kKey = WithHighBits(0x81234567, 0xCAFEF00D);
const jlong kOther = WithHighBits(0x00000A11, 0x00000001);
const jlong kLegacyProvider = WithHighBits(0x80C0FFEE, 0xFFFFFFFF);
const jlong kLegacyKey = WithHighBits(0x0000BEEF, 0x7FFFFFFF);
const jint kFlags = Jint(0x80000040);
const std::u16string kKeyName = u"Schl\u00fcssel \u20ac 1";

// What the stand-in answers when a test lets it fill the outputs.
const LONG kStatus = NTE_NOT_SUPPORTED;
const ULONG_PTR kHandle = 0x89ABCDEF;
const ULONG_PTR kSecondHandle = 0x80000005;
const DWORD kCount = 0x4321;
const uint32_t kEvent = 0x80000444;
// What the event cell holds going in: only the low half is the handle.
const jlong kEventIn = WithHighBits(0x90000010, 0x12345678);

class DoubleTest : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        CNG_SUITE_PROCESS("recording");
        // The natives find the stand-ins the way they would find the
        // system's libraries: by name, on the search path.
        ASSERT_TRUE(SetDllDirectoryW(DoublesDirectory().c_str()));
        ASSERT_TRUE(ncrypt.Attach(LoadLibraryW(L"ncrypt.dll")))
            << "the recording ncrypt.dll was not loaded; WINEDLLOVERRIDES=" << DllOverrides();
        ASSERT_TRUE(cryptui.Attach(LoadLibraryW(L"cryptui.dll")))
            << "the recording cryptui.dll was not loaded; WINEDLLOVERRIDES=" << DllOverrides();
        ncrypt.reset();
        cryptui.reset();
    }

    void ScriptBoth(const Script &s) {
        ncrypt.script(&s);
        cryptui.script(&s);
    }

    Script Filled(LONG status = kStatus) {
        Script s{};
        s.status = status;
        s.result = TRUE;
        s.fill = TRUE;
        s.handles[0] = kHandle;
        s.handles[1] = kSecondHandle;
        s.count = kCount;
        s.event = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(kEvent));
        s.changed = TRUE;
        s.context = 0;
        return s;
    }

    // The only call the library saw since the last reset.
    RecordedCall OnlyCall(const DoubleLibrary &library) {
        std::vector<RecordedCall> calls = library.Calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? RecordedCall{} : calls[0];
    }

    DoubleLibrary ncrypt, cryptui;
    unsigned char a[32] = {}, b[32] = {}, c[32] = {};
};

// A parameter as the function should have received it.
struct Want {
    enum Kind { kValue, kText, kOutput } kind;
    uintptr_t value;      // kValue: the 32 bits; kOutput: what it pointed at on entry
    std::u16string text;  // kText
};
Want V(uintptr_t value) { return {Want::kValue, value, {}}; }
Want Text(const std::u16string &text) { return {Want::kText, 0, text}; }
// The address of a local of the native that starts at the given value.
Want Out(uintptr_t starts_at = 0) { return {Want::kOutput, starts_at, {}}; }

struct LongOut {
    jlongArray cell;
    jlong filled, unfilled;
};
struct IntOut {
    jintArray cell;
    jint filled, unfilled;
};

struct Case {
    const char *function;
    std::function<jint()> call;
    std::vector<Want> args;
    std::vector<LongOut> longs;
    std::vector<IntOut> ints;
};

void ExpectArgs(const RecordedCall &call, const std::vector<Want> &want) {
    ASSERT_EQ(call.argc, want.size());
    for (unsigned i = 0; i < want.size(); i++) {
        SCOPED_TRACE("parameter " + std::to_string(i + 1));
        switch (want[i].kind) {
        case Want::kValue:
            EXPECT_EQ(call.args[i], want[i].value);
            break;
        case Want::kText:
            ASSERT_TRUE(call.has_text[i]) << "a string, not NULL";
            EXPECT_EQ(TextOf(call, i), want[i].text);
            break;
        case Want::kOutput:
            EXPECT_NE(call.args[i], 0u) << "a place for the output";
            EXPECT_EQ(call.in[i], want[i].value) << "the output's value going in";
            break;
        }
    }
}

}  // namespace

class DoubleNcrypt : public DoubleTest {
protected:
    // Every status native once, with fresh cells each time.
    std::vector<Case> Cases() {
        const jlong kZeroExtended = static_cast<jlong>(kHandle);
        jlongArray key = LongCell(0x5555);
        jlongArray second = LongCell(0x6666);
        jlongArray event = LongCell(kEventIn);
        jintArray count = IntCell(77);
        jobject pa = Pointer(a, sizeof a), pb = Pointer(b, sizeof b), pc = Pointer(c, sizeof c);
        return {
            {"NCryptOpenStorageProvider",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, key, Str(kKeyName),
                                                                         kFlags);
             },
             {Out(), Text(kKeyName), V(0x80000040)},
             {{key, kZeroExtended, 0}},
             {}},
            {"NCryptCreatePersistedKey",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptCreatePersistedKey(env, nullptr, kKey, key, Str(u"RSA"),
                                                                        Str(kKeyName), AT_SIGNATURE, kFlags);
             },
             {V(0x81234567), Out(), Text(u"RSA"), Text(kKeyName), V(AT_SIGNATURE), V(0x80000040)},
             {{key, kZeroExtended, 0}},
             {}},
            {"NCryptOpenKey",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptOpenKey(env, nullptr, kKey, key, Str(kKeyName),
                                                             AT_KEYEXCHANGE, kFlags);
             },
             {V(0x81234567), Out(), Text(kKeyName), V(AT_KEYEXCHANGE), V(0x80000040)},
             {{key, kZeroExtended, 0}},
             {}},
            {"NCryptFinalizeKey",
             [=] { return Java_Orvalith_Base_JNI_nCryptFinalizeKey(env, nullptr, kKey, kFlags); },
             {V(0x81234567), V(0x80000040)},
             {},
             {}},
            {"NCryptDeleteKey",
             [=] { return Java_Orvalith_Base_JNI_nCryptDeleteKey(env, nullptr, kKey, 7); },
             {V(0x81234567), V(7)},
             {},
             {}},
            {"NCryptImportKey",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptImportKey(
                     env, nullptr, kKey, kOther, Str(u"RSAPUBLICBLOB"), pa, key, pb, 19, kFlags);
             },
             {V(0x81234567), V(0xA11), Text(u"RSAPUBLICBLOB"), V(AddressOf(a)), Out(), V(AddressOf(b)), V(19),
              V(0x80000040)},
             {{key, kZeroExtended, 0}},
             {}},
            {"NCryptExportKey",
             [=] {
                 // An empty blob type stays a string; a null Pointer is NULL.
                 return Java_Orvalith_Base_JNI_nCryptExportKey(env, nullptr, kKey, kOther, Str(u""), nullptr,
                                                               pb, 24, count, kFlags);
             },
             {V(0x81234567), V(0xA11), Text(u""), V(0), V(AddressOf(b)), V(24), Out(), V(0x80000040)},
             {},
             {{count, Jint(kCount), 0}}},
            {"NCryptTranslateHandle",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptTranslateHandle(
                     env, nullptr, key, second, kLegacyProvider, kLegacyKey, AT_SIGNATURE, kFlags);
             },
             {Out(), Out(), V(0x80C0FFEE), V(0xBEEF), V(AT_SIGNATURE), V(0x80000040)},
             {{key, kZeroExtended, 0}, {second, static_cast<jlong>(kSecondHandle), 0}},
             {}},
            {"NCryptFreeObject",
             [=] { return Java_Orvalith_Base_JNI_nCryptFreeObject(env, nullptr, kKey); },
             {V(0x81234567)},
             {},
             {}},
            {"NCryptFreeBuffer",
             [=] { return Java_Orvalith_Base_JNI_nCryptFreeBuffer(env, nullptr, pa); },
             {V(AddressOf(a))},
             {},
             {}},
            {"NCryptGetProperty",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptGetProperty(env, nullptr, kKey, Str(u"Length"), pa, 4,
                                                                 count, kFlags);
             },
             {V(0x81234567), Text(u"Length"), V(AddressOf(a)), V(4), Out(), V(0x80000040)},
             {},
             {{count, Jint(kCount), 0}}},
            {"NCryptSetProperty",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptSetProperty(env, nullptr, kKey, Str(u"Length"), pa, 4,
                                                                 kFlags);
             },
             {V(0x81234567), Text(u"Length"), V(AddressOf(a)), V(4), V(0x80000040)},
             {},
             {}},
            {"NCryptIsAlgSupported",
             [=] { return Java_Orvalith_Base_JNI_nCryptIsAlgSupported(env, nullptr, kKey, nullptr, kFlags); },
             {V(0x81234567), V(0), V(0x80000040)},
             {},
             {}},
            {"NCryptNotifyChangeKey",
             [=] { return Java_Orvalith_Base_JNI_nCryptNotifyChangeKey(env, nullptr, kKey, event, kFlags); },
             {V(0x81234567), Out(0x90000010), V(0x80000040)},
             // The event comes back sign-extended, also when CNG leaves it.
             {{event, SignExtended(kEvent), SignExtended(0x90000010)}},
             {}},
            {"NCryptEncrypt",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptEncrypt(env, nullptr, kKey, pa, 16, pb, pc, 32, count,
                                                             kFlags);
             },
             {V(0x81234567), V(AddressOf(a)), V(16), V(AddressOf(b)), V(AddressOf(c)), V(32), Out(),
              V(0x80000040)},
             {},
             {{count, Jint(kCount), 0}}},
            {"NCryptDecrypt",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptDecrypt(env, nullptr, kKey, pa, 16, nullptr, pc, 32,
                                                             count, kFlags);
             },
             {V(0x81234567), V(AddressOf(a)), V(16), V(0), V(AddressOf(c)), V(32), Out(), V(0x80000040)},
             {},
             {{count, Jint(kCount), 0}}},
            {"NCryptSignHash",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptSignHash(env, nullptr, kKey, pa, pb, 20, pc, 31, count,
                                                              kFlags);
             },
             {V(0x81234567), V(AddressOf(a)), V(AddressOf(b)), V(20), V(AddressOf(c)), V(31), Out(),
              V(0x80000040)},
             {},
             {{count, Jint(kCount), 0}}},
            {"NCryptVerifySignature",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptVerifySignature(env, nullptr, kKey, pa, pb, 20, pc, 31,
                                                                     kFlags);
             },
             {V(0x81234567), V(AddressOf(a)), V(AddressOf(b)), V(20), V(AddressOf(c)), V(31), V(0x80000040)},
             {},
             {}},
            {"NCryptSecretAgreement",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptSecretAgreement(env, nullptr, kKey, kOther, key, kFlags);
             },
             {V(0x81234567), V(0xA11), Out(), V(0x80000040)},
             {{key, kZeroExtended, 0}},
             {}},
            {"NCryptDeriveKey",
             [=] {
                 return Java_Orvalith_Base_JNI_nCryptDeriveKey(env, nullptr, kKey, Str(u"HASH"), pa, pb, 32,
                                                               count, kFlags);
             },
             {V(0x81234567), Text(u"HASH"), V(AddressOf(a)), V(AddressOf(b)), V(32), Out(), V(0x80000040)},
             {},
             {{count, Jint(kCount), 0}}},
        };
    }

    void RunAll(const ::Script &script) {
        for (const Case &k : Cases()) {
            SCOPED_TRACE(k.function);
            ncrypt.reset();
            ncrypt.script(&script);
            EXPECT_EQ(k.call(), Jint(script.status));
            RecordedCall call = OnlyCall(ncrypt);
            EXPECT_STREQ(call.function, k.function);
            ExpectArgs(call, k.args);
            for (const LongOut &out : k.longs)
                EXPECT_EQ(Cell(out.cell), script.fill ? out.filled : out.unfilled);
            for (const IntOut &out : k.ints)
                EXPECT_EQ(Cell(out.cell), script.fill ? out.filled : out.unfilled);
        }
    }
};

// The outputs land in their cells whatever the status says: a failure
// here, so that nothing can hang on success.
TEST_F(DoubleNcrypt, EveryNativePassesItsParametersInOrderAndWritesItsOutputs) { RunAll(Filled(kStatus)); }

// A function that reports nothing leaves its outputs as the native set
// them up: zero, and the event handle as it went in.
TEST_F(DoubleNcrypt, OutputsTheFunctionLeavesAloneComeBackAsTheyStarted) {
    ::Script quiet{};
    quiet.status = ERROR_SUCCESS;
    RunAll(quiet);
}

TEST_F(DoubleNcrypt, IsKeyHandleAnswersTheFunctionsBool) {
    const struct {
        BOOL answer;
        jboolean expected;
    } cases[] = {{TRUE, JNI_TRUE}, {FALSE, JNI_FALSE}, {0x100, JNI_TRUE}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.answer);
        ::Script s{};
        s.result = k.answer;
        ncrypt.reset();
        ncrypt.script(&s);
        EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, kKey), k.expected);
        RecordedCall call = OnlyCall(ncrypt);
        EXPECT_STREQ(call.function, "NCryptIsKeyHandle");
        ExpectArgs(call, {V(0x81234567)});
    }
}

TEST_F(DoubleNcrypt, DecryptWithoutResultCellPassesNullAndWritesNothing) {
    ScriptBoth(Filled());
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptDecrypt(env, nullptr, kKey, Pointer(a, 16), 16, nullptr,
                                                   Pointer(c, 32), 32, nullptr, 0),
              Jint(kStatus));
    ExpectArgs(OnlyCall(ncrypt),
               {V(0x81234567), V(AddressOf(a)), V(16), V(0), V(AddressOf(c)), V(32), V(0), V(0)});
}

TEST_F(DoubleNcrypt, DecryptWithoutOutputAsksOnlyForTheSize) {
    ScriptBoth(Filled(ERROR_SUCCESS));
    jintArray count = IntCell(0);
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptDecrypt(env, nullptr, kKey, Pointer(a, 16), 16, nullptr, nullptr,
                                                   0, count, 0),
              ERROR_SUCCESS);
    ExpectArgs(OnlyCall(ncrypt), {V(0x81234567), V(AddressOf(a)), V(16), V(0), V(0), V(0), Out(), V(0)});
    EXPECT_EQ(Cell(count), Jint(kCount));
}

TEST_F(DoubleNcrypt, TranslateHandleWithoutProviderCellWritesOnlyTheKey) {
    ScriptBoth(Filled());
    jlongArray key = LongCell(3);
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptTranslateHandle(env, nullptr, nullptr, key, kLegacyProvider,
                                                           kLegacyKey, 0, 0),
              Jint(kStatus));
    ExpectArgs(OnlyCall(ncrypt), {V(0), Out(), V(0x80C0FFEE), V(0xBEEF), V(0), V(0)});
    EXPECT_EQ(Cell(key), static_cast<jlong>(kSecondHandle));
}

// A native that could not hand CNG a place for every output, or an
// address behind every Pointer, does not call it.
TEST_F(DoubleNcrypt, UnusableCellsAndPointersAreRefusedBeforeCngIsCalled) {
    ScriptBoth(Filled(ERROR_SUCCESS));
    jobject foreign = Foreign();
    jlongArray key = LongCell(0x5555);
    jintArray count = IntCell(77);
    struct Refusal {
        const char *what;
        bool raises;  // the missing "p" stays pending for the Java caller
        std::function<jint()> call;
    } cases[] = {
        {"null provider cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, nullptr, Str(u"p"), 0);
         }},
        {"empty key cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptOpenKey(env, nullptr, kKey, fakejni::new_long_array(env, {}),
                                                         Str(kKeyName), 0, 0);
         }},
        {"null result-size cell of Encrypt", false,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptEncrypt(env, nullptr, kKey, Pointer(a, 16), 16, nullptr,
                                                         Pointer(b, 32), 32, nullptr, 0);
         }},
        {"empty result-size cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptGetProperty(
                 env, nullptr, kKey, Str(u"Length"), Pointer(a, 4), 4, fakejni::new_int_array(env, {}), 0);
         }},
        {"empty optional result-size cell of Decrypt", false,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptDecrypt(env, nullptr, kKey, Pointer(a, 16), 16, nullptr,
                                                         Pointer(b, 32), 32, fakejni::new_int_array(env, {}),
                                                         0);
         }},
        {"null key cell of TranslateHandle", false,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptTranslateHandle(env, nullptr, key, nullptr, 1, 2, 0, 0);
         }},
        {"null event cell", false,
         [&] { return Java_Orvalith_Base_JNI_nCryptNotifyChangeKey(env, nullptr, kKey, nullptr, 0); }},
        {"hash Pointer without p", true,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptSignHash(env, nullptr, kKey, nullptr, foreign, 20,
                                                          Pointer(c, 32), 32, count, 0);
         }},
        {"buffer Pointer without p", true,
         [&] { return Java_Orvalith_Base_JNI_nCryptFreeBuffer(env, nullptr, foreign); }},
        {"data Pointer without p, key cell and string given", true,
         [&] {
             return Java_Orvalith_Base_JNI_nCryptImportKey(env, nullptr, kKey, 0, Str(u"RSAPUBLICBLOB"),
                                                           nullptr, key, foreign, 10, 0);
         }},
    };
    for (const Refusal &k : cases) {
        SCOPED_TRACE(k.what);
        ncrypt.reset();
        EXPECT_EQ(k.call(), Jint(NTE_INVALID_PARAMETER));
        if (k.raises) {
            EXPECT_EQ(TakeException(), "Can't find p field in class.");
        }
        EXPECT_FALSE(fakejni::pending_exception(env).present);
        EXPECT_EQ(ncrypt.count(), 0u) << "CNG was called";
        EXPECT_EQ(Cell(key), 0x5555);
        EXPECT_EQ(Cell(count), 77);
    }
    EXPECT_FALSE(EverWritten(vm, key));
    EXPECT_FALSE(EverWritten(vm, count));
}

class DoubleCryptui : public DoubleTest {};

TEST_F(DoubleCryptui, ViewCertificatePassesTheBlockAndReturnsTheFlag) {
    const struct {
        const char *what;
        BOOL result, fill, changed;
        jboolean answer, flag;
    } cases[] = {
        {"properties changed", TRUE, TRUE, TRUE, JNI_TRUE, JNI_TRUE},
        {"nothing changed", TRUE, TRUE, FALSE, JNI_TRUE, JNI_FALSE},
        // The flag starts out false when the dialog does not set it.
        {"dialog failed, flag left alone", FALSE, FALSE, TRUE, JNI_FALSE, JNI_FALSE},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        ::Script s{};
        s.result = k.result;
        s.fill = k.fill;
        s.changed = k.changed;
        cryptui.reset();
        cryptui.script(&s);
        jbooleanArray flag = fakejni::new_boolean_array(env, {static_cast<jboolean>(!k.flag)});
        EXPECT_EQ(Java_Orvalith_Base_JNI_cryptUIDlgViewCertificate(env, nullptr, Pointer(a, 32), flag),
                  k.answer);
        RecordedCall call = OnlyCall(cryptui);
        EXPECT_STREQ(call.function, "CryptUIDlgViewCertificateW");
        ExpectArgs(call, {V(AddressOf(a)), Out(FALSE)});
        EXPECT_EQ(fakejni::boolean_elements(vm, flag).at(0), k.flag);
    }
    EXPECT_EQ(ncrypt.count(), 0u);
}

TEST_F(DoubleCryptui, ViewCertificateWithNullInfoPassesNull) {
    ::Script s{};
    s.result = TRUE;
    ScriptBoth(s);
    jbooleanArray flag = fakejni::new_boolean_array(env, {JNI_FALSE});
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptUIDlgViewCertificate(env, nullptr, nullptr, flag));
    ExpectArgs(OnlyCall(cryptui), {V(0), Out(FALSE)});
}

TEST_F(DoubleCryptui, ViewCertificateWithoutFlagCellDoesNotOpenTheDialog) {
    ScriptBoth(Filled());
    SetLastError(0);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptUIDlgViewCertificate(env, nullptr, Pointer(a, 32), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(cryptui.count(), 0u);
}

TEST_F(DoubleCryptui, SelectCertificateReturnsAViewOfTheChosenContext) {
    const struct {
        const char *what;
        uintptr_t context;
        jlong p;
        jint size;
    } cases[] = {
        {"chosen", 0x80001000, SignExtended(0x80001000), 20},
        {"chosen, low address", 0x00402000, 0x00402000, 20},
        {"cancelled", 0, 0, -1},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        ::Script s{};
        s.context = k.context;
        cryptui.reset();
        cryptui.script(&s);
        jobject chosen = Java_Orvalith_Base_JNI_cryptUIDlgSelectCertificate(env, nullptr, Pointer(b, 32));
        ASSERT_NE(chosen, nullptr);
        EXPECT_EQ(fakejni::class_name(vm, chosen), ORV_POINTER_CLASS);
        EXPECT_EQ(P(chosen), k.p);
        EXPECT_EQ(Size(chosen), k.size);
        EXPECT_EQ(fakejni::object_field(env, chosen, "o"), nullptr);
        RecordedCall call = OnlyCall(cryptui);
        EXPECT_STREQ(call.function, "CryptUIDlgSelectCertificateW");
        ExpectArgs(call, {V(AddressOf(b))});
    }
}

TEST_F(DoubleCryptui, SelectCertificateWithForeignInfoRaisesWithoutTheDialog) {
    jobject foreign = Foreign();
    EXPECT_EQ(Java_Orvalith_Base_JNI_cryptUIDlgSelectCertificate(env, nullptr, foreign), nullptr);
    EXPECT_EQ(TakeException(), "Can't find p field in class.");
    EXPECT_EQ(cryptui.count(), 0u);
}

TEST_F(DoubleCryptui, WizImportPassesEveryParameter) {
    const std::u16string title = u"Zertifikate \u00e9 importieren";
    const struct {
        BOOL result;
        jboolean answer;
    } cases[] = {{TRUE, JNI_TRUE}, {FALSE, JNI_FALSE}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.result);
        ::Script s{};
        s.result = k.result;
        cryptui.reset();
        cryptui.script(&s);
        EXPECT_EQ(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, Jint(0x80000010),
                                                          WithHighBits(0x00010010, 0xFFFF0000), Str(title),
                                                          Pointer(c, 32), WithHighBits(0x80ABCDEF, 1)),
                  k.answer);
        RecordedCall call = OnlyCall(cryptui);
        EXPECT_STREQ(call.function, "CryptUIWizImport");
        ExpectArgs(call, {V(0x80000010), V(0x00010010), Text(title), V(AddressOf(c)), V(0x80ABCDEF)});
    }
}

TEST_F(DoubleCryptui, WizImportWithNullTitleAndSourcePassesNull) {
    ::Script s{};
    s.result = TRUE;
    ScriptBoth(s);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, 0, 0, nullptr, nullptr, 0));
    ExpectArgs(OnlyCall(cryptui), {V(0), V(0), V(0), V(0), V(0)});
}

// Every slot binds to the entry of that name in its own library.
TEST_F(DoubleTest, EverySlotBindsTheEntryOfItsName) {
    for (int i = 0; i < kRuntimeEntryCount; i++) {
        RuntimeEntry entry = static_cast<RuntimeEntry>(i);
        SCOPED_TRACE(RuntimeEntryName(entry));
        HMODULE library = GetModuleHandleW(RuntimeEntryLibrary(entry));
        ASSERT_NE(library, nullptr);
        void *expected = reinterpret_cast<void *>(GetProcAddress(library, RuntimeEntryName(entry)));
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(BindRuntimeEntry(entry), expected);
        EXPECT_EQ(BindRuntimeEntry(entry), expected) << "bound once, kept";
    }
}

// A PIN or password set or read as a property reaches the provider whole;
// the trace shows its length only, whatever the case of the name.
TEST_F(DoubleNcrypt, TraceShowsSecretPropertiesAsTheirLengthOnly) {
    ScriptBoth(Filled());
    const char16_t pin[] = u"4711-S3cr3t";
    const jint length = sizeof pin;
    TraceCapture trace;
    const struct {
        const char16_t *property;
        bool secret;
    } cases[] = {
        {u"SmartCardPin", true}, {u"SMARTCARDPIN", true}, {u"PCP_USAGEAUTH", true}, {u"Length", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.property, c.property + std::char_traits<char16_t>::length(c.property)));
        Java_Orvalith_Base_JNI_nCryptSetProperty(env, nullptr, kKey, Str(c.property), Pointer(pin, length),
                                                 length, 0);
        Java_Orvalith_Base_JNI_nCryptGetProperty(env, nullptr, kKey, Str(c.property), Pointer(a, sizeof a),
                                                 sizeof a, IntCell(0), 0);
        std::string set = trace.LineOf("nCryptSetProperty"), get = trace.LineOf("nCryptGetProperty");
        EXPECT_EQ(set.find("<secret, 24 bytes>, 0x18, 0x0) = NTE_NOT_SUPPORTED (0x80090029) in ") !=
                      std::string::npos,
                  c.secret)
            << set;
        EXPECT_EQ(get.find("<secret, 32 bytes>, 0x20, [") != std::string::npos, c.secret)
            << get;
        EXPECT_EQ(set.find("[size 24]") != std::string::npos, !c.secret) << set;
    }
}
