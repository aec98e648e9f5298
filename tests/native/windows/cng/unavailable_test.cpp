// A system without ncrypt.dll and cryptui.dll.  Runs in a process of its
// own with WINEDLLOVERRIDES disabling both, so that no load can succeed.
#include <functional>

#include "cng_support.h"
#include "windows/status_names.h"

class Unavailable : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        CNG_SUITE_PROCESS("unavailable");
        ASSERT_EQ(LoadLibraryW(L"ncrypt.dll"), nullptr)
            << "ncrypt.dll can be loaded; WINEDLLOVERRIDES=" << DllOverrides();
        ASSERT_EQ(LoadLibraryW(L"cryptui.dll"), nullptr)
            << "cryptui.dll can be loaded; WINEDLLOVERRIDES=" << DllOverrides();
    }

    // Each call twice: nothing is remembered of a failed binding.
    template <typename F>
    void Twice(F call) {
        call();
        call();
    }

    unsigned char a[32] = {}, b[32] = {};
};

TEST_F(Unavailable, EveryStatusNativeAnswersMinusOneAndWritesNoCell) {
    jlongArray key = LongCell(0x1111), second = LongCell(0x2222), event = LongCell(0x3333);
    jintArray count = IntCell(44);
    jobject pa = Pointer(a, sizeof a), pb = Pointer(b, sizeof b);
    const struct {
        const char *what;
        std::function<jint()> call;
    } cases[] = {
        {"OpenStorageProvider",
         [&] { return Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, key, Str(u"p"), 0); }},
        {"CreatePersistedKey",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptCreatePersistedKey(env, nullptr, 1, key, Str(u"RSA"),
                                                                    Str(u"k"), 0, 0);
         }},
        {"OpenKey",
         [&] { return Java_Orvalith_Base_JNI_nCryptOpenKey(env, nullptr, 1, key, Str(u"k"), 0, 0); }},
        {"FinalizeKey", [&] { return Java_Orvalith_Base_JNI_nCryptFinalizeKey(env, nullptr, 1, 0); }},
        {"DeleteKey", [&] { return Java_Orvalith_Base_JNI_nCryptDeleteKey(env, nullptr, 1, 0); }},
        {"ImportKey",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptImportKey(env, nullptr, 1, 0, Str(u"b"), pa, key, pb, 8, 0);
         }},
        {"ExportKey",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptExportKey(env, nullptr, 1, 0, Str(u"b"), pa, pb, 8, count,
                                                           0);
         }},
        {"TranslateHandle",
         [&] { return Java_Orvalith_Base_JNI_nCryptTranslateHandle(env, nullptr, key, second, 1, 2, 0, 0); }},
        {"FreeObject", [&] { return Java_Orvalith_Base_JNI_nCryptFreeObject(env, nullptr, 1); }},
        {"FreeBuffer", [&] { return Java_Orvalith_Base_JNI_nCryptFreeBuffer(env, nullptr, pa); }},
        {"GetProperty",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptGetProperty(env, nullptr, 1, Str(u"Length"), pa, 4, count,
                                                             0);
         }},
        {"SetProperty",
         [&] { return Java_Orvalith_Base_JNI_nCryptSetProperty(env, nullptr, 1, Str(u"Length"), pa, 4, 0); }},
        {"IsAlgSupported",
         [&] { return Java_Orvalith_Base_JNI_nCryptIsAlgSupported(env, nullptr, 1, Str(u"RSA"), 0); }},
        {"NotifyChangeKey",
         [&] { return Java_Orvalith_Base_JNI_nCryptNotifyChangeKey(env, nullptr, 1, event, 0); }},
        {"Encrypt",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptEncrypt(env, nullptr, 1, pa, 8, nullptr, pb, 8, count, 0);
         }},
        {"Decrypt",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptDecrypt(env, nullptr, 1, pa, 8, nullptr, pb, 8, count, 0);
         }},
        {"SignHash",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptSignHash(env, nullptr, 1, nullptr, pa, 20, pb, 8, count, 0);
         }},
        {"VerifySignature",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptVerifySignature(env, nullptr, 1, nullptr, pa, 20, pb, 8, 0);
         }},
        {"SecretAgreement",
         [&] { return Java_Orvalith_Base_JNI_nCryptSecretAgreement(env, nullptr, 1, 2, key, 0); }},
        {"DeriveKey",
         [&] {
             return Java_Orvalith_Base_JNI_nCryptDeriveKey(env, nullptr, 1, Str(u"HASH"), pa, pb, 8, count,
                                                           0);
         }},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Twice([&] {
            SetLastError(0);
            EXPECT_EQ(k.call(), -1);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND))
                << "the binding's reason stays";
        });
    }
    EXPECT_EQ(Cell(key), 0x1111);
    EXPECT_EQ(Cell(second), 0x2222);
    EXPECT_EQ(Cell(event), 0x3333);
    EXPECT_EQ(Cell(count), 44);
    for (jarray cell : {jarray(key), jarray(second), jarray(event), jarray(count)})
        EXPECT_FALSE(EverWritten(vm, cell));
    EXPECT_EQ(GetModuleHandleW(L"ncrypt.dll"), nullptr);
}

TEST_F(Unavailable, IsKeyHandleAnswersFalse) {
    Twice([&] { EXPECT_FALSE(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, 1)); });
}

TEST_F(Unavailable, ViewCertificateAnswersFalseAndLeavesTheFlag) {
    jbooleanArray flag = fakejni::new_boolean_array(env, {JNI_TRUE});
    Twice([&] {
        EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptUIDlgViewCertificate(env, nullptr, Pointer(a, 32), flag));
    });
    EXPECT_EQ(fakejni::boolean_elements(vm, flag).at(0), JNI_TRUE);
    EXPECT_FALSE(EverWritten(vm, flag));
}

TEST_F(Unavailable, SelectCertificateAnswersThePointerOfNoContext) {
    Twice([&] {
        jobject none = Java_Orvalith_Base_JNI_cryptUIDlgSelectCertificate(env, nullptr, Pointer(a, 32));
        ASSERT_NE(none, nullptr);
        EXPECT_EQ(P(none), 0);
        EXPECT_EQ(Size(none), -1);
    });
}

// Bound before anything is read: a Pointer without "p" raises nothing.
TEST_F(Unavailable, WizImportAnswersFalseWithoutReadingItsArguments) {
    jobject foreign = Foreign();
    Twice([&] {
        EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, 0, 0, Str(u"Import"), foreign, 0));
        EXPECT_FALSE(fakejni::pending_exception(env).present);
    });
    EXPECT_EQ(GetModuleHandleW(L"cryptui.dll"), nullptr);
}

// The trace says which entry is missing and why, and what was answered.
TEST_F(Unavailable, TraceNamesTheMissingEntry) {
    TraceCapture trace;
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptOpenKey(env, nullptr, 1, LongCell(0x1111), Str(u"k"), 0, 0), -1);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, 0, 0, Str(u"t"), nullptr, 0));
    DWORD error = GetLastError();
    std::string why = std::string(" cannot be bound (") + Win32CodeName(error) + " (";
    EXPECT_NE(trace.LineOf("nCryptOpenKey").find("(0x1, [out], \"k\", 0x0, 0x0) not called: NCryptOpenKey" + why),
              std::string::npos)
        << trace.Written();
    // Bound before anything is read: no argument is shown.
    EXPECT_NE(trace.LineOf("cryptUIWizImport").find("(...) not called: CryptUIWizImport" + why),
              std::string::npos)
        << trace.Written();
    EXPECT_NE(trace.LineOf("cryptUIWizImport").find(") = false, last error "), std::string::npos);
}
