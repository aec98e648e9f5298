// Certificate contexts: adding an encoded certificate, enumerating and
// finding it, duplicating, freeing, creating and deleting contexts, and
// their properties through the length-cell protocol.
#include <string.h>

#include "store_support.h"

TEST_F(StoreTest, AddedCertificateIsEnumeratedBackAndThenTheEnd) {
    jobject added = AddCertificate();
    EXPECT_EQ(Size(added), 20);
    ASSERT_NE(P(added), 0);
    EXPECT_EQ(Context(added)->cbCertEncoded, encoded.size());

    jobject first = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(fakejni::class_name(vm, first), ORV_POINTER_CLASS);
    EXPECT_EQ(Size(first), 20);
    ASSERT_NE(P(first), 0);
    EXPECT_EQ(memcmp(Context(first)->pbCertEncoded, encoded.data(), encoded.size()), 0);
    // A view of the platform's record: not the Java side's to release.
    EXPECT_EQ(fakejni::object_field(env, first, "o"), nullptr);

    // The previous context goes back to the platform with the call.
    jobject end = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, first);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(P(end), 0);
    EXPECT_EQ(Size(end), -1);
    Free(added);
}

TEST_F(StoreTest, EmptyStoreEnumeratesToTheEndAtOnce) {
    jobject end = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, nullptr);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(P(end), 0);
    EXPECT_EQ(Size(end), -1);
}

TEST_F(StoreTest, AddingWithoutAskingForTheContext) {
    EXPECT_TRUE(Java_Orvalith_Base_JNI_certAddEncodedCertificateToStore(
        env, nullptr, store, X509_ASN_ENCODING, EncodedPointer(), static_cast<jint>(encoded.size()),
        CERT_STORE_ADD_NEW, nullptr));
    jobject first = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, nullptr);
    EXPECT_EQ(Size(first), 20);
    Free(first);
}

TEST_F(StoreTest, FailedAddLeavesANullContextInThePointer) {
    // The Pointer's old address is overwritten, not released.
    BYTE garbage[16] = {0x30, 0x03, 0x02, 0x01};
    int old = 0;
    jobject context = Pointer(&old, 4);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certAddEncodedCertificateToStore(
        env, nullptr, store, X509_ASN_ENCODING, Pointer(garbage, sizeof garbage), sizeof garbage,
        CERT_STORE_ADD_ALWAYS, context));
    EXPECT_NE(Java_Orvalith_Base_JNI_getLastError(env, nullptr), 0);
    EXPECT_EQ(P(context), 0);
    EXPECT_EQ(Size(context), 20);
}

TEST_F(StoreTest, FoundBySubjectOrByHash) {
    jobject added = AddCertificate();
    CRYPT_HASH_BLOB hash = {20, const_cast<BYTE *>(Certificate().sha1)};
    BYTE other_sha1[20] = {1, 2, 3};
    CRYPT_HASH_BLOB other = {20, other_sha1};
    std::u16string subject = TEST_SUBJECT_PART;
    struct Case {
        const char *what;
        DWORD type;
        const void *para;
        bool found;
    } cases[] = {
        {"subject string", CERT_FIND_SUBJECT_STR_W, subject.c_str(), true},
        {"SHA-1 hash", CERT_FIND_SHA1_HASH, &hash, true},
        {"another hash", CERT_FIND_SHA1_HASH, &other, false},
        {"any", CERT_FIND_ANY, nullptr, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        jobject found = Java_Orvalith_Base_JNI_certFindCertificateInStore(
            env, nullptr, store, X509_ASN_ENCODING, 0, Jint(c.type), c.para ? Pointer(c.para, 0) : nullptr,
            nullptr);
        ASSERT_NE(found, nullptr);
        if (!c.found) {
            EXPECT_EQ(P(found), 0);
            EXPECT_EQ(Size(found), -1);
            EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(CRYPT_E_NOT_FOUND));
            continue;
        }
        EXPECT_EQ(P(found), P(added));
        EXPECT_EQ(Size(found), 20);
        // The next search from the found one releases it and finds nothing.
        jobject next = Java_Orvalith_Base_JNI_certFindCertificateInStore(
            env, nullptr, store, X509_ASN_ENCODING, 0, Jint(c.type), c.para ? Pointer(c.para, 0) : nullptr,
            found);
        EXPECT_EQ(P(next), 0);
        EXPECT_EQ(Size(next), -1);
    }
    Free(added);
}

TEST_F(StoreTest, DuplicateIsTheSameRecordUntilEachIsFreed) {
    jobject added = AddCertificate();
    jobject dup = Java_Orvalith_Base_JNI_certDuplicateCertificateContext(env, nullptr, added);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(P(dup), P(added));
    EXPECT_EQ(Size(dup), 20);
    Free(dup);
    // Still referenced by the first: it can be read and freed.
    EXPECT_EQ(Context(added)->cbCertEncoded, encoded.size());
    Free(added);
}

TEST_F(WindowsTest, ContextsCreatedFromEncodedBytes) {
    const std::vector<BYTE> &encoded = Certificate().encoded;
    BYTE garbage[8] = {0x30, 0x06, 0x05, 0x00};
    struct Case {
        const char *what;
        const BYTE *bytes;
        jint length;
        bool made;
    } cases[] = {
        {"the test certificate", encoded.data(), static_cast<jint>(encoded.size()), true},
        // The length is the argument, not the Pointer's size.
        {"cut short", encoded.data(), static_cast<jint>(encoded.size() / 2), false},
        {"not a certificate", garbage, sizeof garbage, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        jobject made = Java_Orvalith_Base_JNI_certCreateCertificateContext(
            env, nullptr, X509_ASN_ENCODING, Pointer(c.bytes, static_cast<jint>(encoded.size())), c.length);
        ASSERT_NE(made, nullptr);
        if (!c.made) {
            EXPECT_EQ(P(made), 0);
            EXPECT_EQ(Size(made), -1);
            EXPECT_NE(Java_Orvalith_Base_JNI_getLastError(env, nullptr), 0);
            continue;
        }
        EXPECT_EQ(Size(made), 20);
        PCCERT_CONTEXT context = reinterpret_cast<PCCERT_CONTEXT>(static_cast<uintptr_t>(P(made)));
        EXPECT_EQ(context->dwCertEncodingType, static_cast<DWORD>(X509_ASN_ENCODING));
        EXPECT_EQ(context->cbCertEncoded, encoded.size());
        EXPECT_TRUE(Java_Orvalith_Base_JNI_certFreeCertificateContext(env, nullptr, made));
    }
}

TEST_F(StoreTest, DeletedCertificateLeavesTheStore) {
    jobject added = AddCertificate();
    // Deleting releases the context passed in as well.
    EXPECT_TRUE(Java_Orvalith_Base_JNI_certDeleteCertificateFromStore(env, nullptr, added));
    jobject end = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, nullptr);
    EXPECT_EQ(P(end), 0);
    EXPECT_EQ(Size(end), -1);
    // Wine's memory store keeps a deleted certificate counted against the
    // store (its own crypt32 does the same without the bridge), so the
    // check flag would report a pending close there: closed plainly.
    EXPECT_TRUE(Java_Orvalith_Base_JNI_certCloseStore(env, nullptr, store, 0));
    store = 0;
}

TEST_F(StoreTest, PropertyThroughTheLengthCell) {
    jobject added = AddCertificate();
    const char16_t friendly[] = u"orvjni friendly";
    CRYPT_DATA_BLOB value = {sizeof friendly, reinterpret_cast<BYTE *>(const_cast<char16_t *>(friendly))};
    ASSERT_TRUE(Java_Orvalith_Base_JNI_certSetCertificateContextProperty(
        env, nullptr, added, CERT_FRIENDLY_NAME_PROP_ID, 0, Pointer(&value, sizeof value)));

    // Asking with no block: the length needed, and no Pointer to touch.
    jintArray len = IntCell(0);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
        env, nullptr, added, CERT_FRIENDLY_NAME_PROP_ID, nullptr, len));
    EXPECT_EQ(Cell(len), static_cast<jint>(sizeof friendly));

    // A block too small: false, and the cell and "size" say what is needed.
    BYTE block[64];
    memset(block, 0xEE, sizeof block);
    jobject data = Pointer(block, sizeof block);
    jintArray short_len = IntCell(4);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
        env, nullptr, added, CERT_FRIENDLY_NAME_PROP_ID, data, short_len));
    EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(ERROR_MORE_DATA));
    EXPECT_EQ(Cell(short_len), static_cast<jint>(sizeof friendly));
    EXPECT_EQ(Size(data), static_cast<jint>(sizeof friendly));

    jintArray room = IntCell(sizeof block);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
        env, nullptr, added, CERT_FRIENDLY_NAME_PROP_ID, data, room));
    EXPECT_EQ(Cell(room), static_cast<jint>(sizeof friendly));
    EXPECT_EQ(Size(data), static_cast<jint>(sizeof friendly));
    EXPECT_EQ(P(data), WidenAddress(block));
    EXPECT_EQ(memcmp(block, friendly, sizeof friendly), 0);

    // A property the platform computes: the SHA-1 hash.
    jintArray hash_len = IntCell(sizeof block);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
        env, nullptr, added, CERT_SHA1_HASH_PROP_ID, data, hash_len));
    EXPECT_EQ(Size(data), 20);
    EXPECT_EQ(memcmp(block, Certificate().sha1, 20), 0);

    // A property that was never set.
    jintArray none_len = IntCell(sizeof block);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
        env, nullptr, added, CERT_DESCRIPTION_PROP_ID, data, none_len));
    EXPECT_EQ(Java_Orvalith_Base_JNI_getLastError(env, nullptr), Jint(CRYPT_E_NOT_FOUND));
    Free(added);
}

TEST_F(StoreTest, UnusableArgumentsStopTheCall) {
    jobject added = AddCertificate();
    jobject foreign = Foreign();
    BYTE block[32] = {};
    struct Case {
        const char *what;
        std::function<jboolean()> call;
    } cases[] = {
        {"context Pointer without p",
         [&] { return Java_Orvalith_Base_JNI_certFreeCertificateContext(env, nullptr, foreign); }},
        {"property block without p",
         [&] {
             return Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
                 env, nullptr, added, CERT_SHA1_HASH_PROP_ID, foreign, IntCell(32));
         }},
        {"output context without p",
         [&] {
             return Java_Orvalith_Base_JNI_certAddEncodedCertificateToStore(
                 env, nullptr, store, X509_ASN_ENCODING, EncodedPointer(), static_cast<jint>(encoded.size()),
                 CERT_STORE_ADD_ALWAYS, foreign);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(TakeException(), "Can't find p field in class.");
    }
    // No length cell: nothing to report the length in.
    jobject data = Pointer(block, sizeof block);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certGetCertificateContextProperty(
        env, nullptr, added, CERT_SHA1_HASH_PROP_ID, data, nullptr));
    EXPECT_EQ(Size(data), static_cast<jint>(sizeof block));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A context native answers the empty context Pointer, never null.
    jobject none = Java_Orvalith_Base_JNI_certDuplicateCertificateContext(env, nullptr, foreign);
    EXPECT_EQ(TakeException(), "Can't find p field in class.");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(P(none), 0);
    EXPECT_EQ(Size(none), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The store still holds its one certificate: nothing was added.
    jobject first = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, nullptr);
    jobject end = Java_Orvalith_Base_JNI_certEnumCertificatesInStore(env, nullptr, store, first);
    EXPECT_EQ(P(end), 0);
    Free(added);
}

TEST_F(StoreTest, ContextPointerOfAMissingClassRaisesClassNotFound) {
    jobject added = AddCertificate();
    fakejni::fail_find_class(vm, ORV_POINTER_CLASS);
    SetLastError(0);
    jobject dup = Java_Orvalith_Base_JNI_certDuplicateCertificateContext(env, nullptr, added);
    EXPECT_EQ(dup, nullptr);
    EXPECT_EQ(TakeException(), "Class not found");
    fakejni::reset_faults(vm);
    // The duplicate was made all the same; it is the Java side's loss.
    EXPECT_TRUE(CertFreeCertificateContext(Context(added)));
    Free(added);
}
