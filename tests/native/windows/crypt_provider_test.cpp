// Provider contexts: acquiring with and without names, reference counts,
// parameters and the list of installed providers.
#include <string.h>

#include "windows_support.h"

TEST_F(WindowsTest, VerifyContextWithNullEmptyOrNamedProvider) {
    struct Case {
        const char *what;
        jstring container;
        jstring provider;
    } cases[] = {
        {"null names", nullptr, nullptr},
        // An empty container reaches the platform as NULL, as a null one:
        // a verify context refuses any container name.
        {"empty names", Str(u""), Str(u"")},
        {"named provider", nullptr, Str(u"" MS_ENH_RSA_AES_PROV_A)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The handle cell is not preset: what it held is no input.
        jlongArray cell = LongCell(WithHighBits(0x1234, 0xFFFFFFFF));
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptAcquireContext(
            env, nullptr, cell, c.container, c.provider, PROV_RSA_AES, Jint(CRYPT_VERIFYCONTEXT)))
            << "error " << GetLastError();
        jlong handle = Cell(cell);
        EXPECT_NE(handle, 0);
        EXPECT_EQ(handle >> 32, 0) << "handles come back zero-extended";
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptReleaseContext(env, nullptr, handle, 0));
    }
}

TEST_F(WindowsTest, FailedAcquireWritesZeroIntoTheCell) {
    jlongArray cell = LongCell(0x77);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptAcquireContext(
        env, nullptr, cell, nullptr, Str(u"No Such Provider Anywhere"), PROV_RSA_AES,
        Jint(CRYPT_VERIFYCONTEXT)));
    EXPECT_NE(Java_Orvalith_Base_JNI_getLastError(env, nullptr), 0);
    EXPECT_EQ(Cell(cell), 0);
}

TEST_F(ProviderTest, AddedReferencesAreReleasedOneByOne) {
    // The reserved pointer is the long's low 32 bits: 0 here, whatever the
    // high half holds.
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptContextAddRef(env, nullptr, prov,
                                                          WithHighBits(0, 0xABCD0123), 0));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptReleaseContext(env, nullptr, prov, 0));
    // Still open: the last reference is released by the fixture.
    jobject none = nullptr;
    jintArray len = IntCell(0);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptGetProvParam(env, nullptr, prov, PP_NAME, none, len, 0));
    EXPECT_GT(Cell(len), 0);
}

TEST_F(WindowsTest, ProvidersAreListedToTheEnd) {
    const jint capacity = 512;
    unsigned char block[512] = {};
    jobject name = Pointer(block, capacity);
    std::vector<std::u16string> names;
    std::vector<DWORD> types;
    jint index = 0;
    for (;; index++) {
        jintArray type = IntCell(-1);
        jintArray len = IntCell(capacity);
        memset(block, 0xEE, sizeof block);
        // The second argument is never read: any value will do.
        if (!Java_Orvalith_Base_JNI_cryptEnumProviders(env, nullptr, index, 12345, 0, type, name, len))
            break;
        const char16_t *units = reinterpret_cast<const char16_t *>(block);
        std::u16string text(units);
        // The cells hold what the platform itself reports for the same
        // call (some versions leave the length alone when a block is given).
        DWORD direct_type = 0, direct_len = capacity;
        WCHAR direct_name[256];
        ASSERT_TRUE(CryptEnumProvidersW(static_cast<DWORD>(index), nullptr, 0, &direct_type,
                                        direct_name, &direct_len));
        EXPECT_EQ(Cell(len), static_cast<jint>(direct_len));
        EXPECT_EQ(static_cast<DWORD>(Cell(type)), direct_type);
        EXPECT_EQ(text, std::u16string(reinterpret_cast<const char16_t *>(direct_name)));
        // The name Pointer is not updated: "size" keeps the capacity.
        EXPECT_EQ(Size(name), capacity);
        names.push_back(text);
        types.push_back(static_cast<DWORD>(Cell(type)));
        ASSERT_LT(index, 1000);
    }
    EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(Size(name), capacity);
    EXPECT_EQ(P(name), WidenAddress(block));
    ASSERT_GE(index, 1);
    bool found = false;
    for (size_t i = 0; i < names.size(); i++)
        found |= names[i] == u"" MS_ENH_RSA_AES_PROV_A && types[i] == PROV_RSA_AES;
    EXPECT_TRUE(found) << "the AES provider is among the " << names.size();

    // A null name Pointer only asks for the length of the first name.
    jintArray len = IntCell(0);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptEnumProviders(env, nullptr, 0, 0, 0, IntCell(0), nullptr,
                                                          len));
    EXPECT_EQ(Cell(len), static_cast<jint>(2 * (names.at(0).size() + 1)));
}
