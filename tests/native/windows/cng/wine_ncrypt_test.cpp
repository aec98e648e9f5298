// The natives against Wine's own ncrypt.dll, for what it implements: the
// software key storage provider and an RSA key taken through its whole
// life.  Wine only stubs NCryptDeriveKey, NCryptNotifyChangeKey,
// NCryptSecretAgreement and NCryptTranslateHandle (a stub ends the
// process) and answers NTE_NOT_SUPPORTED for buffers to free, so those
// are left to the recording suite.
#include <string.h>

#include "cng_support.h"

#include <ncrypt.h>

namespace {

const std::u16string kSoftwareProvider = u"Microsoft Software Key Storage Provider";

class WineNcrypt : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        CNG_SUITE_PROCESS("wine");
        jlongArray cell = LongCell(-1);
        ASSERT_EQ(
            Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, cell, Str(kSoftwareProvider), 0),
            ERROR_SUCCESS);
        provider = Cell(cell);
        ASSERT_NE(provider, 0);
    }

    void TearDown() override {
        for (jlong key : keys) {
            EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptFreeObject(env, nullptr, key), ERROR_SUCCESS);
        }
        if (provider != 0) {
            EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptFreeObject(env, nullptr, provider), ERROR_SUCCESS);
        }
        WindowsTest::TearDown();
    }

    // A finalised RSA key of the given length, freed after the test.
    jlong RsaKey(DWORD bits) {
        jlongArray cell = LongCell(-1);
        EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptCreatePersistedKey(env, nullptr, provider, cell, Str(u"RSA"),
                                                                  nullptr, 0, 0),
                  ERROR_SUCCESS);
        jlong key = Cell(cell);
        if (key == 0 || key == -1) return 0;
        keys.push_back(key);
        EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptSetProperty(env, nullptr, key, Str(u"Length"),
                                                           Pointer(&bits, sizeof bits), sizeof bits, 0),
                  ERROR_SUCCESS);
        EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptFinalizeKey(env, nullptr, key, 0), ERROR_SUCCESS);
        return key;
    }

    // PKCS#1 v1.5 over a SHA-256 digest; the record holds a pointer, so it
    // is laid out natively, as the Java side lays it out in a block.
    jobject Padding() { return Pointer(&padding, sizeof padding); }

    jint Sign(jlong key, unsigned char *hash, unsigned char *signature, jint capacity, jintArray size) {
        return Java_Orvalith_Base_JNI_nCryptSignHash(env, nullptr, key, Padding(), Pointer(hash, 32), 32,
                                                     signature ? Pointer(signature, capacity) : nullptr,
                                                     capacity, size, NCRYPT_PAD_PKCS1_FLAG);
    }

    jint Verify(jlong key, unsigned char *hash, unsigned char *signature, jint length) {
        return Java_Orvalith_Base_JNI_nCryptVerifySignature(env, nullptr, key, Padding(), Pointer(hash, 32),
                                                            32, Pointer(signature, length), length,
                                                            NCRYPT_PAD_PKCS1_FLAG);
    }

    jlong provider = 0;
    std::vector<jlong> keys;
    BCRYPT_PKCS1_PADDING_INFO padding = {L"SHA256"};
};

}  // namespace

TEST_F(WineNcrypt, ProviderHandleComesBackZeroExtended) {
    jlongArray cell = LongCell(WithHighBits(0, 0xFFFFFFFF));
    ASSERT_EQ(Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, cell, nullptr, 0),
              ERROR_SUCCESS);
    jlong handle = Cell(cell);
    EXPECT_NE(handle, 0);
    EXPECT_EQ(static_cast<uint64_t>(handle) >> 32, 0u);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, handle));
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptFreeObject(env, nullptr, handle), ERROR_SUCCESS);
}

TEST_F(WineNcrypt, AlgorithmsAreAskedForByName) {
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptIsAlgSupported(env, nullptr, provider, Str(u"RSA"), 0),
              ERROR_SUCCESS);
    EXPECT_EQ(
        Java_Orvalith_Base_JNI_nCryptIsAlgSupported(env, nullptr, provider, Str(u"NO-SUCH-ALGORITHM"), 0),
        Jint(NTE_NOT_SUPPORTED));
}

TEST_F(WineNcrypt, KeyPropertiesGoInAndComeOut) {
    jlong key = RsaKey(1024);
    ASSERT_NE(key, 0);
    // Wine's answer may be a plain FALSE; the native must give that
    // answer back, whatever it is.
    typedef BOOL(WINAPI * IsKeyHandleFn)(NCRYPT_KEY_HANDLE);
    IsKeyHandleFn is_key = reinterpret_cast<IsKeyHandleFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ncrypt.dll"), "NCryptIsKeyHandle")));
    ASSERT_NE(is_key, nullptr);
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, key),
              is_key(static_cast<NCRYPT_KEY_HANDLE>(key)) ? JNI_TRUE : JNI_FALSE);
    // A null output asks for the size only.
    jintArray size = IntCell(-1);
    EXPECT_EQ(
        Java_Orvalith_Base_JNI_nCryptGetProperty(env, nullptr, key, Str(u"Length"), nullptr, 0, size, 0),
        ERROR_SUCCESS);
    EXPECT_EQ(Cell(size), 4);
    DWORD length = 0;
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptGetProperty(
                  env, nullptr, key, Str(u"Length"), Pointer(&length, sizeof length), sizeof length, size, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(length, 1024u);
    EXPECT_EQ(Cell(size), 4);
}

TEST_F(WineNcrypt, SignaturesAreMadeAndChecked) {
    jlong key = RsaKey(1024);
    ASSERT_NE(key, 0);
    unsigned char hash[32];
    for (int i = 0; i < 32; i++) hash[i] = static_cast<unsigned char>(i * 7);
    jintArray size = IntCell(-1);
    EXPECT_EQ(Sign(key, hash, nullptr, 0, size), ERROR_SUCCESS);
    EXPECT_EQ(Cell(size), 128);
    unsigned char signature[128] = {};
    ASSERT_EQ(Sign(key, hash, signature, sizeof signature, size), ERROR_SUCCESS);
    ASSERT_EQ(Cell(size), 128);
    EXPECT_EQ(Verify(key, hash, signature, sizeof signature), ERROR_SUCCESS);
    hash[0] ^= 1;
    EXPECT_EQ(Verify(key, hash, signature, sizeof signature), Jint(NTE_BAD_SIGNATURE));
}

TEST_F(WineNcrypt, EncryptionReportsTheSizeAndFillsTheBlock) {
    jlong key = RsaKey(1024);
    ASSERT_NE(key, 0);
    unsigned char plain[16];
    memcpy(plain, "sixteen bytes ok", sizeof plain);
    jintArray size = IntCell(-1);
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptEncrypt(env, nullptr, key, Pointer(plain, 16), 16, nullptr,
                                                   nullptr, 0, size, NCRYPT_PAD_PKCS1_FLAG),
              ERROR_SUCCESS);
    EXPECT_EQ(Cell(size), 128);
    unsigned char cipher[128] = {};
    ASSERT_EQ(Java_Orvalith_Base_JNI_nCryptEncrypt(env, nullptr, key, Pointer(plain, 16), 16, nullptr,
                                                   Pointer(cipher, 128), 128, size, NCRYPT_PAD_PKCS1_FLAG),
              ERROR_SUCCESS);
    EXPECT_EQ(Cell(size), 128);
    unsigned char zero[128] = {};
    EXPECT_NE(memcmp(cipher, zero, sizeof cipher), 0);
}

// Wine 8 cannot decrypt with an RSA key (it answers NTE_NOT_SUPPORTED);
// whatever it answers, the native must answer the same and report the
// same count as a direct call does.
TEST_F(WineNcrypt, DecryptionAnswersWhatWineAnswers) {
    jlong key = RsaKey(1024);
    ASSERT_NE(key, 0);
    unsigned char plain[16];
    memcpy(plain, "sixteen bytes ok", sizeof plain);
    unsigned char cipher[128] = {};
    jintArray size = IntCell(-1);
    ASSERT_EQ(Java_Orvalith_Base_JNI_nCryptEncrypt(env, nullptr, key, Pointer(plain, 16), 16, nullptr,
                                                   Pointer(cipher, 128), 128, size, NCRYPT_PAD_PKCS1_FLAG),
              ERROR_SUCCESS);
    typedef SECURITY_STATUS(WINAPI * DecryptFn)(NCRYPT_KEY_HANDLE, PBYTE, DWORD, VOID *, PBYTE, DWORD,
                                                DWORD *, DWORD);
    DecryptFn decrypt = reinterpret_cast<DecryptFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ncrypt.dll"), "NCryptDecrypt")));
    ASSERT_NE(decrypt, nullptr);
    unsigned char direct[128] = {};
    DWORD direct_size = 0;
    SECURITY_STATUS expected = decrypt(static_cast<NCRYPT_KEY_HANDLE>(key), cipher, sizeof cipher, nullptr,
                                       direct, sizeof direct, &direct_size, NCRYPT_PAD_PKCS1_FLAG);
    unsigned char back[128] = {};
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptDecrypt(env, nullptr, key, Pointer(cipher, 128), 128, nullptr,
                                                   Pointer(back, 128), 128, size, NCRYPT_PAD_PKCS1_FLAG),
              Jint(expected));
    EXPECT_EQ(Cell(size), Jint(direct_size));
    if (expected == ERROR_SUCCESS) {
        ASSERT_EQ(Cell(size), 16);
        EXPECT_EQ(memcmp(back, plain, 16), 0);
    }
}

// The public half leaves one key as a blob and becomes a key of its own
// that checks the first key's signatures.
TEST_F(WineNcrypt, AnExportedPublicKeyImportsAndVerifies) {
    jlong key = RsaKey(1024);
    ASSERT_NE(key, 0);
    jintArray size = IntCell(-1);
    ASSERT_EQ(Java_Orvalith_Base_JNI_nCryptExportKey(env, nullptr, key, 0, Str(u"RSAPUBLICBLOB"), nullptr,
                                                     nullptr, 0, size, 0),
              ERROR_SUCCESS);
    jint needed = Cell(size);
    ASSERT_GT(needed, static_cast<jint>(sizeof(BCRYPT_RSAKEY_BLOB)));
    std::vector<unsigned char> blob(needed);
    ASSERT_EQ(Java_Orvalith_Base_JNI_nCryptExportKey(env, nullptr, key, 0, Str(u"RSAPUBLICBLOB"), nullptr,
                                                     Pointer(blob.data(), needed), needed, size, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(Cell(size), needed);
    EXPECT_EQ(reinterpret_cast<BCRYPT_RSAKEY_BLOB *>(blob.data())->BitLength, 1024u);

    jlongArray imported = LongCell(-1);
    ASSERT_EQ(
        Java_Orvalith_Base_JNI_nCryptImportKey(env, nullptr, provider, 0, Str(u"RSAPUBLICBLOB"), nullptr,
                                               imported, Pointer(blob.data(), needed), needed, 0),
        ERROR_SUCCESS);
    jlong public_key = Cell(imported);
    ASSERT_NE(public_key, 0);
    EXPECT_EQ(static_cast<uint64_t>(public_key) >> 32, 0u);
    keys.push_back(public_key);

    unsigned char hash[32] = {1, 2, 3};
    unsigned char signature[128];
    ASSERT_EQ(Sign(key, hash, signature, sizeof signature, size), ERROR_SUCCESS);
    EXPECT_EQ(Verify(public_key, hash, signature, sizeof signature), ERROR_SUCCESS);
}
