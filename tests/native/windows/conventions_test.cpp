// Arguments the platform could not use: the platform is not called,
// nothing is written, and the native answers its failure value.
#include <string.h>

#include <functional>

#include "windows_support.h"

TEST_F(ProviderTest, UnusableArgumentsStopTheCall) {
    HCRYPTHASH hash = NewHash(CALG_SHA1);
    unsigned char block[64];
    jobject foreign = Foreign();
    jintArray len = IntCell(7);
    jlongArray handle = LongCell(0x66);
    struct Case {
        const char *what;
        bool raises;  // the missing "p" stays pending for the Java caller
        std::function<jboolean()> call;
    } cases[] = {
        {"null length cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL,
                                                             Pointer(block, 64), nullptr, 0);
         }},
        {"empty length cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_cryptExportKey(env, nullptr, 0, 0, PUBLICKEYBLOB, 0, nullptr,
                                                          fakejni::new_int_array(env, {}));
         }},
        {"data Pointer without p", true,
         [&] {
             return Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL, foreign,
                                                             len, 0);
         }},
        {"input Pointer without p", true,
         [&] { return Java_Orvalith_Base_JNI_cryptHashData(env, nullptr, hash, foreign, 3, 0); }},
        {"null key cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_cryptGenKey(env, nullptr, prov, Jint(CALG_AES_128), 0, nullptr);
         }},
        {"empty key cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_cryptGetUserKey(env, nullptr, prov, AT_SIGNATURE,
                                                           fakejni::new_long_array(env, {}));
         }},
        {"null provider cell, strings given", false,
         [&] {
             return Java_Orvalith_Base_JNI_cryptAcquireContext(env, nullptr, nullptr, Str(u"c"), Str(u"p"),
                                                               PROV_RSA_AES, 0);
         }},
        {"null type cell", false,
         [&] {
             return Java_Orvalith_Base_JNI_cryptEnumProviders(env, nullptr, 0, 0, 0, nullptr,
                                                              Pointer(block, 64), len);
         }},
        {"key blob Pointer without p, handle cell given", true,
         [&] {
             return Java_Orvalith_Base_JNI_cryptImportKey(env, nullptr, prov, foreign, 10, 0, 0, handle);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(c.call());
        // Read before anything else can change it.
        EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(ERROR_INVALID_PARAMETER));
        if (c.raises) {
            EXPECT_EQ(TakeException(), "Can't find p field in class.");
        }
        EXPECT_FALSE(fakejni::pending_exception(env).present);
        EXPECT_EQ(Cell(len), 7) << "nothing written";
        EXPECT_EQ(Cell(handle), 0x66) << "nothing written";
    }
    // The hash saw no data: it still holds the digest of nothing.
    unsigned char value[20];
    jintArray value_len = IntCell(sizeof value);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL,
                                                         Pointer(value, 20), value_len, 0));
    EXPECT_EQ(Hex(value, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
}

TEST_F(WindowsTest, StatusNativesAnswerTheirOwnInvalidParameter) {
    // The subkey's characters are taken before the cell is found unusable,
    // and given back all the same (the fixture checks).
    for (jlongArray cell : {static_cast<jlongArray>(nullptr), fakejni::new_long_array(env, {})}) {
        EXPECT_EQ(Java_Orvalith_Base_JNI_regOpenKeyEx(env, nullptr, 0x80000002LL, Str(u"Software"), 0,
                                                      Jint(KEY_READ), cell),
                  Jint(ERROR_INVALID_PARAMETER));
    }
    // The HRESULT native: E_INVALIDARG, sign-extended.
    EXPECT_EQ(Java_Orvalith_Base_JNI_coCreateGuid(env, nullptr, Foreign()),
              static_cast<jlong>(static_cast<int32_t>(E_INVALIDARG)));
    EXPECT_EQ(TakeException(), "Can't find p field in class.");
}

TEST_F(WindowsTest, StringTheVmCannotSupplyStopsTheCall) {
    jlongArray cell = LongCell(0x66);
    fakejni::fail_allocation(vm, fakejni::kAllocElements, 1);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptAcquireContext(env, nullptr, cell, nullptr, Str(u"provider"),
                                                            PROV_RSA_AES, Jint(CRYPT_VERIFYCONTEXT)));
    EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(ERROR_INVALID_PARAMETER));
    TakeException("java/lang/OutOfMemoryError");
    EXPECT_EQ(Cell(cell), 0x66);
}
