// Hashes against the known vectors, the length-cell protocol of every data
// Pointer with an output length, and signing with a key in a named
// container.
#include <string.h>

#include <functional>

#include "windows_support.h"

static const unsigned char kAbc[] = {'a', 'b', 'c'};

TEST_F(ProviderTest, HashOfAbcMatchesTheKnownVectors) {
    struct Case {
        const char *what;
        ALG_ID alg;
        jint length;
        const char *digest;
    } cases[] = {
        {"SHA-1", CALG_SHA1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"SHA-256", CALG_SHA_256, 32,
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HCRYPTHASH hash = NewHash(c.alg);
        // The length is the argument's, not the Pointer's "size".
        jobject data = Pointer(kAbc, 1000);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptHashData(env, nullptr, hash, data, 3, 0));
        unsigned char value[64];
        jobject out = Pointer(value, sizeof value);
        jintArray len = IntCell(sizeof value);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL, out, len, 0));
        EXPECT_EQ(Cell(len), c.length);
        EXPECT_EQ(Size(out), c.length);
        EXPECT_EQ(Hex(value, static_cast<size_t>(c.length)), c.digest);
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
    }
}

TEST_F(ProviderTest, HashValueSetThroughAPointerIsReadBack) {
    HCRYPTHASH hash = NewHash(CALG_SHA1);
    unsigned char value[20];
    for (size_t i = 0; i < sizeof value; i++) value[i] = static_cast<unsigned char>(i * 7);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptSetHashParam(env, nullptr, hash, HP_HASHVAL,
                                                         Pointer(value, sizeof value), 0));
    unsigned char back[20] = {};
    jintArray len = IntCell(sizeof back);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL,
                                                         Pointer(back, sizeof back), len, 0));
    EXPECT_EQ(Hex(back, sizeof back), Hex(value, sizeof value));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
}

// The three steps every Java caller takes with an output of unknown
// length, through one native of each family.
TEST_F(ProviderTest, LengthCellProtocol) {
    HCRYPTHASH hash = NewHash(CALG_SHA_256);
    HCRYPTKEY rsa = GenKey(CALG_RSA_KEYX, (1024u << 16) | CRYPT_EXPORTABLE);
    struct Case {
        const char *what;
        std::function<jboolean(jobject, jintArray)> call;
    } cases[] = {
        {"cryptGetProvParam PP_NAME",
         [&](jobject data, jintArray len) {
             return Java_Orvalith_Base_JNI_cryptGetProvParam(env, nullptr, prov, PP_NAME, data, len, 0);
         }},
        {"cryptGetHashParam HP_HASHVAL",
         [&](jobject data, jintArray len) {
             return Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL, data, len, 0);
         }},
        {"cryptExportKey PUBLICKEYBLOB",
         [&](jobject data, jintArray len) {
             return Java_Orvalith_Base_JNI_cryptExportKey(env, nullptr, rsa, 0, PUBLICKEYBLOB, 0, data, len);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // 1. No block: the platform only reports the length it needs.
        jintArray len = IntCell(0);
        ASSERT_TRUE(c.call(nullptr, len));
        const jint needed = Cell(len);
        ASSERT_GT(needed, 4);
        EXPECT_EQ(fakejni::array_stats(vm, len).release_modes, (std::vector<jint>{JNI_ABORT, 0}));

        std::vector<unsigned char> block(static_cast<size_t>(needed) + 16, 0xEE);
        jobject owner = fakejni::new_byte_array(env, {1});
        // 2. Too small: false, and both the cell and "size" hold what the
        // platform asked for; "o" is left alone.
        jobject data = Pointer(block.data(), 4, owner);
        len = IntCell(4);
        size_t locals = fakejni::local_refs(env);
        EXPECT_FALSE(c.call(data, len));
        EXPECT_EQ(fakejni::local_refs(env), locals);
        EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(ERROR_MORE_DATA));
        EXPECT_EQ(Cell(len), needed);
        EXPECT_EQ(Size(data), needed);
        EXPECT_EQ(P(data), WidenAddress(block.data()));
        jobject o = fakejni::object_field(env, data, "o");
        EXPECT_EQ(fakejni::identity(vm, o), fakejni::identity(vm, owner));
        env->DeleteLocalRef(o);

        // 3. Room enough: "size" is what the platform produced.
        len = IntCell(static_cast<jint>(block.size()));
        EXPECT_TRUE(c.call(data, len));
        EXPECT_EQ(Cell(len), needed);
        EXPECT_EQ(Size(data), needed);
        EXPECT_EQ(block.at(static_cast<size_t>(needed)), 0xEE) << "nothing written past the output";
    }
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, rsa));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
}

TEST_F(ProviderTest, FailedPointerUpdateStillAnswersThePlatform) {
    HCRYPTHASH hash = NewHash(CALG_SHA1);
    unsigned char value[32];
    jobject out = Pointer(value, 5);
    jintArray len = IntCell(sizeof value);
    fakejni::fail_find_class(vm, ORV_POINTER_CLASS);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL, out, len, 0));
    EXPECT_EQ(TakeException(), "Class not found");
    fakejni::reset_faults(vm);
    EXPECT_EQ(Cell(len), 20);
    EXPECT_EQ(Size(out), 5);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
}

TEST_F(ProviderTest, FailedCreateHashLeavesZeroAndANegativeLastError) {
    jlongArray cell = LongCell(0x55);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptCreateHash(env, nullptr, prov, 0x7777, 0, 0, cell));
    // A code of 2^31 or more comes out as a negative int.
    jint code = Java_Orvalith_Base_JNI_getLastError(env, nullptr);
    EXPECT_EQ(code, Jint(NTE_BAD_ALGID));
    EXPECT_LT(code, 0);
    EXPECT_EQ(Cell(cell), 0);
}

// A named container keeps a signature key: sign with it, verify with its
// public half imported into another context.
class NamedContainerTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        // One container per process, so that parallel runs do not meet.
        std::string name = "orvjni-test-" + std::to_string(GetCurrentProcessId());
        container.assign(name.begin(), name.end());
        Delete();
        jlongArray cell = LongCell(0);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptAcquireContext(env, nullptr, cell, Str(container),
                                                               nullptr, PROV_RSA_AES, Jint(CRYPT_NEWKEYSET)))
            << "error " << GetLastError();
        named = static_cast<HCRYPTPROV>(Cell(cell));
    }
    void TearDown() override {
        if (named != 0) {
            EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptReleaseContext(env, nullptr, named, 0));
        }
        EXPECT_TRUE(Delete());
        ProviderTest::TearDown();
    }
    bool Delete() {
        jlongArray cell = LongCell(0);
        return Java_Orvalith_Base_JNI_cryptAcquireContext(env, nullptr, cell, Str(container), nullptr,
                                                          PROV_RSA_AES, Jint(CRYPT_DELETEKEYSET));
    }
    HCRYPTHASH HashOf(HCRYPTPROV where, const char *text) {
        jlongArray cell = LongCell(0);
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptCreateHash(env, nullptr, where, Jint(CALG_SHA_256), 0, 0, cell));
        HCRYPTHASH hash = static_cast<HCRYPTHASH>(Cell(cell));
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptHashData(env, nullptr, hash, Pointer(text, 0),
                                                         static_cast<jint>(strlen(text)), 0));
        return hash;
    }

    std::u16string container;
    HCRYPTPROV named = 0;
};

TEST_F(NamedContainerTest, SignAndVerify) {
    jlongArray cell = LongCell(0);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGenKey(env, nullptr, named, AT_SIGNATURE,
                                                   Jint((1024u << 16) | CRYPT_EXPORTABLE), cell));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, Cell(cell)));
    // The container keeps the key: fetch it again as the user key.
    jlongArray user_cell = LongCell(WithHighBits(0, 0xFFFFFFFF));
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptGetUserKey(env, nullptr, named, AT_SIGNATURE, user_cell));
    HCRYPTKEY user = static_cast<HCRYPTKEY>(Cell(user_cell));
    EXPECT_EQ(Cell(user_cell) >> 32, 0);

    HCRYPTHASH hash = HashOf(named, "the message");
    jintArray sig_len = IntCell(0);
    // The description argument is not read: NULL reaches the platform.
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptSignHash(env, nullptr, hash, AT_SIGNATURE, Str(u"ignored"),
                                                     0, nullptr, sig_len));
    ASSERT_EQ(Cell(sig_len), 128);
    unsigned char signature[128];
    jobject sig = Pointer(signature, sizeof signature);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptSignHash(env, nullptr, hash, AT_SIGNATURE, nullptr, 0, sig,
                                                     sig_len));
    EXPECT_EQ(Size(sig), 128);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));

    // The public half, exported and imported into the verify context.
    unsigned char blob[512];
    jobject blob_ptr = Pointer(blob, sizeof blob);
    jintArray blob_len = IntCell(sizeof blob);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptExportKey(env, nullptr, user, 0, PUBLICKEYBLOB, 0, blob_ptr,
                                                      blob_len));
    EXPECT_EQ(reinterpret_cast<BLOBHEADER *>(blob)->bType, PUBLICKEYBLOB);
    jlongArray pub_cell = LongCell(0x55);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptImportKey(env, nullptr, prov, blob_ptr, Cell(blob_len), 0, 0,
                                                      pub_cell));
    HCRYPTKEY pub = static_cast<HCRYPTKEY>(Cell(pub_cell));

    struct Case {
        const char *text;
        bool valid;
    } cases[] = {{"the message", true}, {"the massage", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        HCRYPTHASH check = HashOf(prov, c.text);
        EXPECT_EQ(Java_Orvalith_Base_JNI_cryptVerifySignature(env, nullptr, check, sig, 128, pub,
                                                              Str(u"not read either"), 0),
                  c.valid ? JNI_TRUE : JNI_FALSE);
        if (!c.valid) {
            EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(NTE_BAD_SIGNATURE));
        }
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, check));
    }
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, pub));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, user));
}
