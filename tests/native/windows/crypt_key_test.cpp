// Keys: generation, parameters, derivation, duplication, encryption and
// decryption in place, and how key handles travel as Java longs.
#include <string.h>

#include "windows_support.h"

TEST_F(ProviderTest, GeneratedKeysReportTheirAlgorithmAndLength) {
    struct Case {
        const char *what;
        ALG_ID alg;
        DWORD flags;
        DWORD bits;
    } cases[] = {
        {"AES-128", CALG_AES_128, 0, 128},
        {"AES-256", CALG_AES_256, CRYPT_EXPORTABLE, 256},
        {"RSA-1024", CALG_RSA_KEYX, (1024u << 16) | CRYPT_EXPORTABLE, 1024},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HCRYPTKEY key = GenKey(c.alg, c.flags);
        ASSERT_NE(key, 0u);
        DWORD value = 0;
        jobject data = Pointer(&value, sizeof value);
        jintArray len = IntCell(sizeof value);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGetKeyParam(env, nullptr, key, KP_ALGID, data, len, 0));
        EXPECT_EQ(value, c.alg);
        EXPECT_EQ(Size(data), 4);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGetKeyParam(env, nullptr, key, KP_KEYLEN, data, len, 0));
        EXPECT_EQ(value, c.bits);
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, key));
    }
}

TEST_F(ProviderTest, OnlyTheLowHalfOfAHandleReachesThePlatform) {
    // Java may carry anything in the high half of a handle argument; the
    // handle cell comes back with 0 there.
    jlongArray cell = LongCell(WithHighBits(0, 0xDEADBEEF));
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGenKey(env, nullptr, WithHighBits(prov, 0xFFFFFFFF),
                                                   Jint(CALG_AES_128), 0, cell));
    jlong key = Cell(cell);
    EXPECT_NE(key, 0);
    EXPECT_EQ(key >> 32, 0);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, WithHighBits(key, 0x12345678)));
}

TEST_F(ProviderTest, UntouchedKeyCellKeepsItsLowBitsAlsoWithBit31) {
    // No key of the platform has bit 31 set here, so a preset cell shows
    // it: a call that fails before writing the key leaves the cell's low
    // 32 bits, now zero-extended.  The provider handle 0 (high half set)
    // is refused by the platform itself.
    jlongArray cell = LongCell(WithHighBits(0x80000001, 0xDEADBEEF));
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptGetUserKey(env, nullptr, WithHighBits(0, 0x12345678),
                                                        AT_SIGNATURE, cell));
    EXPECT_EQ(Cell(cell), static_cast<jlong>(0x80000001LL));
}

TEST_F(ProviderTest, AesEncryptsInPlaceAndADuplicateDecrypts) {
    HCRYPTKEY key = GenKey(CALG_AES_256, 0);
    jlongArray dup_cell = LongCell(0);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptDuplicateKey(env, nullptr, key, WithHighBits(0, 0x1111), 0,
                                                         dup_cell));
    HCRYPTKEY dup = static_cast<HCRYPTKEY>(Cell(dup_cell));
    ASSERT_NE(dup, key);

    const char plain[] = "fifteen bytes!!";  // one block short of 16 with padding
    unsigned char block[32] = {};
    memcpy(block, plain, 15);
    jobject data = Pointer(block, sizeof block);
    // In: the input's length; out: the ciphertext's.  bufLen is the room.
    jintArray len = IntCell(15);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptEncrypt(env, nullptr, key, 0, JNI_TRUE, 0, data, len,
                                                    sizeof block));
    EXPECT_EQ(Cell(len), 16);
    EXPECT_EQ(Size(data), 16);
    EXPECT_NE(memcmp(block, plain, 15), 0);

    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptDecrypt(env, nullptr, dup, 0, JNI_TRUE, 0, data, len));
    EXPECT_EQ(Cell(len), 15);
    EXPECT_EQ(Size(data), 15);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), 15), plain);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, dup));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, key));
}

TEST_F(ProviderTest, RsaEncryptsAndDecrypts) {
    HCRYPTKEY key = GenKey(CALG_RSA_KEYX, 1024u << 16);
    unsigned char block[128] = {};
    memcpy(block, "ten bytes!", 10);
    jobject data = Pointer(block, sizeof block);
    // A null block first: the length the ciphertext will need.
    jintArray len = IntCell(10);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptEncrypt(env, nullptr, key, 0, JNI_TRUE, 0, nullptr, len, 0));
    EXPECT_EQ(Cell(len), 128);
    len = IntCell(10);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptEncrypt(env, nullptr, key, 0, JNI_TRUE, 0, data, len,
                                                    sizeof block));
    EXPECT_EQ(Cell(len), 128);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptDecrypt(env, nullptr, key, 0, JNI_TRUE, 0, data, len));
    EXPECT_EQ(Cell(len), 10);
    EXPECT_EQ(Size(data), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), 10), "ten bytes!");
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, key));
}

TEST_F(ProviderTest, KeysDerivedFromTheSameHashAgree) {
    HCRYPTHASH hash = NewHash(CALG_SHA_256);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptHashData(env, nullptr, hash, Pointer("secret", 6), 6, 0));
    HCRYPTKEY keys[2] = {};
    for (HCRYPTKEY &key : keys) {
        jlongArray cell = LongCell(0);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptDeriveKey(env, nullptr, prov, Jint(CALG_AES_128), hash, 0,
                                                          cell));
        key = static_cast<HCRYPTKEY>(Cell(cell));
    }
    // A fixed IV set through a Pointer, then one key encrypts and the
    // other decrypts.
    unsigned char iv[16] = {1, 2, 3};
    for (HCRYPTKEY key : keys)
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptSetKeyParam(env, nullptr, key, KP_IV, Pointer(iv, 16), 0));
    unsigned char block[16] = {'d', 'e', 'r', 'i', 'v', 'e', 'd'};
    jobject data = Pointer(block, sizeof block);
    jintArray len = IntCell(7);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptEncrypt(env, nullptr, keys[0], 0, JNI_TRUE, 0, data, len, 16));
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptDecrypt(env, nullptr, keys[1], 0, JNI_TRUE, 0, data, len));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), static_cast<size_t>(Cell(len))), "derived");
    for (HCRYPTKEY key : keys) EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, key));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
}
