#include "store_support.h"

#include <string.h>

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- The test certificate ---------------------------------------------------

namespace {

TestCertificate *made = nullptr;

bool AcquireContainer(const std::u16string &container, DWORD flags, HCRYPTPROV *prov) {
    return CryptAcquireContextW(prov, reinterpret_cast<LPCWSTR>(container.c_str()),
                                MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, flags) != FALSE;
}

TestCertificate *Make() {
    TestCertificate *cert = new TestCertificate();
    std::string name = "orvjni-stores-" + std::to_string(GetCurrentProcessId());
    cert->container.assign(name.begin(), name.end());
    HCRYPTPROV prov = 0;
    AcquireContainer(cert->container, CRYPT_DELETEKEYSET, &prov);
    if (!AcquireContainer(cert->container, CRYPT_NEWKEYSET, &prov)) {
        ADD_FAILURE() << "no key container: error " << GetLastError();
        return cert;
    }
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key))
        ADD_FAILURE() << "no exchange key: error " << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    BYTE subject[128];
    CERT_NAME_BLOB subject_blob = {sizeof subject, subject};
    if (!CertStrToNameW(X509_ASN_ENCODING, TEST_SUBJECT, CERT_X500_NAME_STR, nullptr, subject,
                        &subject_blob.cbData, nullptr))
        ADD_FAILURE() << "subject not encoded: error " << GetLastError();
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(cert->container.c_str()));
    info.pwszProvName = const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W);
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_KEYEXCHANGE;
    cert->with_key = CertCreateSelfSignCertificate(0, &subject_blob, 0, &info, nullptr, nullptr,
                                                   nullptr, nullptr);
    if (cert->with_key == nullptr) {
        ADD_FAILURE() << "no self-signed certificate: error " << GetLastError();
        return cert;
    }
    cert->encoded.assign(cert->with_key->pbCertEncoded,
                         cert->with_key->pbCertEncoded + cert->with_key->cbCertEncoded);
    DWORD n = sizeof cert->sha1;
    if (!CertGetCertificateContextProperty(cert->with_key, CERT_SHA1_HASH_PROP_ID, cert->sha1, &n))
        ADD_FAILURE() << "no hash: error " << GetLastError();
    return cert;
}

class CertificateEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (made == nullptr) return;
        if (made->with_key != nullptr) CertFreeCertificateContext(made->with_key);
        HCRYPTPROV prov = 0;
        AcquireContainer(made->container, CRYPT_DELETEKEYSET, &prov);
        delete made;
        made = nullptr;
    }
};

::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new CertificateEnvironment);

}  // namespace

const TestCertificate &Certificate() {
    if (made == nullptr) made = Make();
    return *made;
}

// ---- StoreTest ---------------------------------------------------------------

void StoreTest::SetUp() {
    WindowsTest::SetUp();
    encoded = Certificate().encoded;
    ASSERT_FALSE(encoded.empty());
    store = Java_Orvalith_Base_JNI_certOpenStore(env, nullptr, Str(u"Memory"), 0, 0, 0, nullptr);
    ASSERT_NE(store, 0) << "error " << GetLastError();
}

void StoreTest::TearDown() {
    if (store != 0) {
        EXPECT_TRUE(Java_Orvalith_Base_JNI_certCloseStore(env, nullptr, store,
                                                          Jint(CERT_CLOSE_STORE_CHECK_FLAG)))
            << "a context is still referenced: error " << GetLastError();
    }
    WindowsTest::TearDown();
}

jobject StoreTest::EncodedPointer() {
    return Pointer(encoded.data(), static_cast<jint>(encoded.size()));
}

jobject StoreTest::AddCertificate() {
    jobject context = Pointer(nullptr, 0);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_certAddEncodedCertificateToStore(
        env, nullptr, store, X509_ASN_ENCODING, EncodedPointer(), static_cast<jint>(encoded.size()),
        CERT_STORE_ADD_ALWAYS, context))
        << "error " << GetLastError();
    return context;
}

// ---- ObjectArrays ---------------------------------------------------------------

ObjectArrays *ObjectArrays::current_ = nullptr;

ObjectArrays::ObjectArrays(JNIEnv *env) : env_(env), original_(env->functions), patched_(*env->functions) {
    patched_.GetArrayLength = &ObjectArrays::GetArrayLength;
    patched_.GetObjectArrayElement = &ObjectArrays::GetObjectArrayElement;
    current_ = this;
    env_->functions = &patched_;
}

ObjectArrays::~ObjectArrays() {
    env_->functions = original_;
    current_ = nullptr;
    for (std::vector<jobject> *a : arrays_) delete a;
}

jobjectArray ObjectArrays::Make(const std::vector<jobject> &elements) {
    arrays_.push_back(new std::vector<jobject>(elements));
    return reinterpret_cast<jobjectArray>(arrays_.back());
}

const std::vector<jobject> *ObjectArrays::Find(jarray array) const {
    for (const std::vector<jobject> *a : arrays_)
        if (reinterpret_cast<jarray>(const_cast<std::vector<jobject> *>(a)) == array) return a;
    return nullptr;
}

jsize JNICALL ObjectArrays::GetArrayLength(JNIEnv *env, jarray array) {
    const std::vector<jobject> *a = current_->Find(array);
    if (a == nullptr) return current_->original_->GetArrayLength(env, array);
    return static_cast<jsize>(a->size());
}

jobject JNICALL ObjectArrays::GetObjectArrayElement(JNIEnv *env, jobjectArray array, jsize index) {
    const std::vector<jobject> *a = current_->Find(array);
    EXPECT_NE(a, nullptr) << "GetObjectArrayElement on an array of the stand-in VM";
    EXPECT_FALSE(current_->original_->ExceptionCheck(env)) << "GetObjectArrayElement with an exception pending";
    if (a == nullptr) return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= a->size()) {
        jclass cls = current_->original_->FindClass(env, "java/lang/ArrayIndexOutOfBoundsException");
        current_->original_->ThrowNew(env, cls, "index");
        current_->original_->DeleteLocalRef(env, cls);
        return nullptr;
    }
    current_->fetched_++;
    return current_->original_->NewLocalRef(env, (*a)[static_cast<size_t>(index)]);
}

// ---- StoreCallbacks ---------------------------------------------------------------

StoreCallbacks::StoreCallbacks(fakejni::Vm *vm, const char *class_name)
    : vm_(vm), class_name_(class_name) {
    fakejni::define_class(
        vm, class_name, "java/lang/Object", {},
        {{"callback", SYSTEM_CALLBACK_SIG,
          [this](JNIEnv *env, jobject, const jvalue *args) { return Record(env, args, false); }},
         {"callback", PHYSICAL_CALLBACK_SIG,
          [this](JNIEnv *env, jobject, const jvalue *args) { return Record(env, args, true); }}});
}

jobject StoreCallbacks::NewObject(JNIEnv *env) const { return fakejni::new_object(env, class_name_); }

jvalue StoreCallbacks::Record(JNIEnv *env, const jvalue *args, bool physical) {
    size_t n = calls.size();
    StoreCall call;
    jobject store = args[0].l;
    call.store_class = fakejni::class_name(vm_, store);
    call.store_p = fakejni::long_field(vm_, store, "p");
    call.store_size = fakejni::int_field(vm_, store, "size");
    call.flags = args[1].i;
    size_t next = 2;
    if (physical) {
        jstring name = static_cast<jstring>(args[next++].l);
        call.has_physical_name = name != nullptr;
        if (name != nullptr) call.physical_name = fakejni::string_chars(vm_, name);
    }
    jobject info = args[next++].l;
    call.info_p = fakejni::long_field(vm_, info, "p");
    call.info_size = fakejni::int_field(vm_, info, "size");
    call.reserved_null = args[next++].l == nullptr;
    call.arg = fakejni::identity(vm_, args[next].l);
    if (call.store_p != 0 && !(static_cast<DWORD>(call.flags) & CERT_SYSTEM_STORE_RELOCATE_FLAG) &&
        call.store_size >= 0) {
        const char16_t *text = reinterpret_cast<const char16_t *>(static_cast<uintptr_t>(call.store_p));
        call.store_name.assign(text, static_cast<size_t>(call.store_size));
    }
    calls.push_back(call);
    if (const char *cls_name = raise(n)) {
        jclass cls = env->FindClass(cls_name);
        env->ThrowNew(cls, "from the callback");
        env->DeleteLocalRef(cls);
        return fakejni::jv_bool(false);
    }
    return fakejni::jv_bool(answer(n));
}
