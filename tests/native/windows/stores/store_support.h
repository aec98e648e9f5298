// Fixtures of the certificate-store, message, certificate-key and OID
// natives, which run against the platform's own crypt32 (under Wine on the
// build host), with the stand-in VM of the other Windows tests.
#ifndef ORVJNI_STORE_SUPPORT_H
#define ORVJNI_STORE_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "store_natives.h"
#include "windows_support.h"

// Wine's crypt32 lacks a few functions (they fail, or abort the program);
// the tests that need them say so and skip there.
bool UnderWine();

// A self-signed certificate made once per run, whose RSA exchange key
// lives in a named key container of its own (deleted at the end of the
// run).  The key signs and decrypts.
struct TestCertificate {
    std::u16string container;
    std::vector<BYTE> encoded;  // DER
    BYTE sha1[20];
    // The certificate as the platform made it, with its key provider
    // information; stays alive for the run.
    PCCERT_CONTEXT with_key;
};
const TestCertificate &Certificate();

// The subject of the test certificate and a piece of it to find it by.
#define TEST_SUBJECT L"CN=orvjni store test"
#define TEST_SUBJECT_PART u"orvjni store"

// A memory store for each test, opened through certOpenStore and closed
// through certCloseStore with the check flag: a context a test forgot to
// free would show as a pending close.
class StoreTest : public WindowsTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The test certificate added to the test's store; the context Pointer
    // that certAddEncodedCertificateToStore filled.
    jobject AddCertificate();
    // A block with the test certificate's encoded bytes (kept by the fixture).
    jobject EncodedPointer();
    // A context Pointer's CERT_CONTEXT.
    PCCERT_CONTEXT Context(jobject pointer) {
        return reinterpret_cast<PCCERT_CONTEXT>(static_cast<uintptr_t>(P(pointer)));
    }
    void Free(jobject context) {
        EXPECT_TRUE(Java_Orvalith_Base_JNI_certFreeCertificateContext(env, nullptr, context));
    }

    jlong store = 0;
    std::vector<BYTE> encoded;
};

// A Pointer[] for the natives that take one.  The stand-in VM has no
// object arrays, so while an instance lives, the environment's
// GetArrayLength and GetObjectArrayElement answer for the arrays it made
// (elements as new local references, an index out of range raising
// ArrayIndexOutOfBoundsException) and pass every other array on.
class ObjectArrays {
public:
    explicit ObjectArrays(JNIEnv *env);
    ~ObjectArrays();
    ObjectArrays(const ObjectArrays &) = delete;
    ObjectArrays &operator=(const ObjectArrays &) = delete;

    jobjectArray Make(const std::vector<jobject> &elements);
    // Elements handed out so far, over all arrays.
    int fetched() const { return fetched_; }

private:
    static jsize JNICALL GetArrayLength(JNIEnv *env, jarray array);
    static jobject JNICALL GetObjectArrayElement(JNIEnv *env, jobjectArray array, jsize index);
    const std::vector<jobject> *Find(jarray array) const;

    JNIEnv *env_;
    const JNINativeInterface_ *original_;
    JNINativeInterface_ patched_;
    std::vector<std::vector<jobject> *> arrays_;
    int fetched_ = 0;
    static ObjectArrays *current_;
};

// What one call of a Java "callback" method received.
struct StoreCall {
    jlong store_p = 0;
    jint store_size = 0;
    std::u16string store_name;  // the UTF-16 text at store_p, store_size units (no relocate flag)
    jint flags = 0;
    bool has_physical_name = false;
    std::u16string physical_name;
    jlong info_p = 0;
    jint info_size = 0;
    bool reserved_null = false;
    const void *arg = nullptr;  // identity of the argument object
    std::string store_class;    // the class of the store Pointer object
};

// A Java class with both "callback" methods, recording each call and
// answering what `answer` says for the n-th call (0-based).
class StoreCallbacks {
public:
    StoreCallbacks(fakejni::Vm *vm, const char *class_name = "test/StoreCallback");
    jobject NewObject(JNIEnv *env) const;

    std::vector<StoreCall> calls;
    std::function<bool(size_t)> answer = [](size_t) { return true; };
    // A call that raises this Java exception class instead of answering.
    std::function<const char *(size_t)> raise = [](size_t) -> const char * { return nullptr; };

private:
    jvalue Record(JNIEnv *env, const jvalue *args, bool physical);
    fakejni::Vm *vm_;
    std::string class_name_;
};

#define SYSTEM_CALLBACK_SIG                                                                  \
    "(LOrvalith/Base/JNI$Pointer;ILOrvalith/Base/JNI$CERT_SYSTEM_STORE_INFO;Ljava/lang/Object;" \
    "Ljava/lang/Object;)Z"
#define PHYSICAL_CALLBACK_SIG                                                                  \
    "(LOrvalith/Base/JNI$Pointer;ILjava/lang/String;LOrvalith/Base/JNI$CERT_SYSTEM_STORE_INFO;" \
    "Ljava/lang/Object;Ljava/lang/Object;)Z"

#endif
