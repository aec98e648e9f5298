// Opening and closing stores: by provider name and by system store name,
// and how store handles travel as Java longs.
#include "store_support.h"

namespace {

// A pointer-typed handle comes back sign-extended: the high half repeats
// bit 31.
bool SignExtended(jlong handle) {
    return handle == static_cast<jlong>(static_cast<int32_t>(handle));
}

}  // namespace

TEST_F(WindowsTest, StoresOpenByProviderNameAndBySystemName) {
    const char16_t my[] = u"MY";
    struct Case {
        const char *what;
        std::function<jlong()> open;
    } cases[] = {
        {"memory store",
         [&] { return Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, Str(u"Memory"), 0, 0, 0, nullptr); }},
        {"system store by provider name, name in a block",
         [&] {
             return Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, Str(u"System"), 0, 0,
                                                         Jint(CERT_SYSTEM_STORE_CURRENT_USER),
                                                         Pointer(my, sizeof my));
         }},
        {"system store MY", [&] { return Java_Orvalith_Base_JNI_certOpenSystemStore(env, nullptr, 0, Str(u"MY")); }},
        {"system store ROOT",
         [&] { return Java_Orvalith_Base_JNI_certOpenSystemStore(env, nullptr, 0, Str(u"ROOT")); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        jlong store = c.open();
        ASSERT_NE(store, 0) << "error " << GetLastError();
        EXPECT_TRUE(SignExtended(store));
        // Only the low half goes back to the platform.
        EXPECT_TRUE(Java_Orvalith_Base_JNI_certCloseStore(env, nullptr, WithHighBits(store, 0x5A5A5A5A), 0));
    }
}

TEST_F(WindowsTest, StoresThatCannotBeOpenedAnswerZero) {
    struct Case {
        const char *what;
        std::function<jlong()> open;
    } cases[] = {
        // No provider at all: NULL reaches the platform, which knows none.
        {"null provider",
         [&] { return Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, nullptr, 0, 0, 0, nullptr); }},
        {"unknown provider",
         [&] {
             return Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, Str(u"orvjni-no-such-provider"), 0,
                                                         0, 0, nullptr);
         }},
        {"null system store name",
         [&] { return Java_Orvalith_Base_JNI_certOpenSystemStore(env, nullptr, 0, nullptr); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(c.open(), 0);
        EXPECT_NE(GetLastError(), 0u);
    }
}

TEST_F(WindowsTest, StoreWithAnUnusableParameterIsNotOpened) {
    EXPECT_EQ(Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, Str(u"Memory"), 0, 0, 0, Foreign()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TakeException(), "Can't find p field in class.");
}

TEST_F(WindowsTest, ClosingStoresReportsThePlatformsAnswer) {
    jlong store = Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, Str(u"Memory"), 0, 0, 0, nullptr);
    ASSERT_NE(store, 0);
    // A certificate context still open keeps the store from closing
    // quietly: the check flag reports it, and the store closes when the
    // context goes.
    const std::vector<BYTE> &encoded = Certificate().encoded;
    jobject context = Pointer(nullptr, 0);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_certAddEncodedCertificateToStore(
        env, nullptr, store, X509_ASN_ENCODING, Pointer(encoded.data(), static_cast<jint>(encoded.size())),
        static_cast<jint>(encoded.size()), CERT_STORE_ADD_NEW, context));
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certCloseStore(env, nullptr, store, Jint(CERT_CLOSE_STORE_CHECK_FLAG)));
    EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(CRYPT_E_PENDING_CLOSE));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_certFreeCertificateContext(env, nullptr, context));
}
