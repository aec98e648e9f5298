// The functions cryptInstallOIDFunctionAddress installs: one stub per
// function set that crypt32 defines, each with the parameters of that
// set's prototype.  crypt32 calls an installed function as the set's
// prototype says, and a stdcall function pops its own arguments, so a stub
// must take exactly as many bytes of arguments as the caller pushed.
#if defined(_WIN32)
#include "windows/crypt32_callbacks.h"

#include <string.h>

namespace {

// A function of type F that ignores its arguments and answers 0 (FALSE).
// Its parameters are F's own, so the compiler gives it F's pop count.
template <class F>
struct StubOf;
template <class R, class... A>
struct StubOf<R(WINAPI *)(A...)> {
    static R WINAPI Call(A...) { return R(); }
};

template <class F>
void *Stub() {
    return reinterpret_cast<void *>(&StubOf<F>::Call);
}

struct OidSet {
    const char *name;
    void *(*stub)();
};

// Sets whose installed function has the same prototype as a crypt32
// function of its own, and sets with a prototype type of their own.
#define ORV_SET_LIKE(set, function) {set, &Stub<decltype(&function)>}
#define ORV_SET_OF(set, prototype) {set, &Stub<prototype>}

const OidSet kSets[] = {
    ORV_SET_LIKE(CRYPT_OID_ENCODE_OBJECT_FUNC, CryptEncodeObject),
    ORV_SET_LIKE(CRYPT_OID_DECODE_OBJECT_FUNC, CryptDecodeObject),
    ORV_SET_LIKE(CRYPT_OID_ENCODE_OBJECT_EX_FUNC, CryptEncodeObjectEx),
    ORV_SET_LIKE(CRYPT_OID_DECODE_OBJECT_EX_FUNC, CryptDecodeObjectEx),
    ORV_SET_LIKE(CRYPT_OID_FORMAT_OBJECT_FUNC, CryptFormatObject),
    ORV_SET_LIKE(CRYPT_OID_VERIFY_REVOCATION_FUNC, CertVerifyRevocation),
    ORV_SET_LIKE(CRYPT_OID_VERIFY_CTL_USAGE_FUNC, CertVerifyCTLUsage),
    ORV_SET_LIKE(CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC, CertVerifyCertificateChainPolicy),
    ORV_SET_LIKE(CRYPT_OID_REGISTER_SYSTEM_STORE_FUNC, CertRegisterSystemStore),
    ORV_SET_LIKE(CRYPT_OID_UNREGISTER_SYSTEM_STORE_FUNC, CertUnregisterSystemStore),
    ORV_SET_LIKE(CRYPT_OID_ENUM_SYSTEM_STORE_FUNC, CertEnumSystemStore),
    ORV_SET_LIKE(CRYPT_OID_REGISTER_PHYSICAL_STORE_FUNC, CertRegisterPhysicalStore),
    ORV_SET_LIKE(CRYPT_OID_UNREGISTER_PHYSICAL_STORE_FUNC, CertUnregisterPhysicalStore),
    ORV_SET_LIKE(CRYPT_OID_ENUM_PHYSICAL_STORE_FUNC, CertEnumPhysicalStore),
    ORV_SET_LIKE(CRYPT_OID_EXPORT_PUBLIC_KEY_INFO_FUNC, CryptExportPublicKeyInfoEx),
    ORV_SET_LIKE(CRYPT_OID_IMPORT_PUBLIC_KEY_INFO_FUNC, CryptImportPublicKeyInfoEx),
    ORV_SET_OF(CRYPT_OID_OPEN_STORE_PROV_FUNC, PFN_CERT_DLL_OPEN_STORE_PROV_FUNC),
    ORV_SET_OF(CRYPT_OID_OPEN_SYSTEM_STORE_PROV_FUNC, PFN_CERT_DLL_OPEN_STORE_PROV_FUNC),
    ORV_SET_OF(CRYPT_OID_EXPORT_PUBLIC_KEY_INFO_EX2_FUNC, PFN_CRYPT_EXPORT_PUBLIC_KEY_INFO_EX2_FUNC),
    ORV_SET_OF(CRYPT_OID_EXPORT_PUBLIC_KEY_INFO_FROM_BCRYPT_HANDLE_FUNC,
               PFN_CRYPT_EXPORT_PUBLIC_KEY_INFO_FROM_BCRYPT_HANDLE_FUNC),
    ORV_SET_OF(CRYPT_OID_IMPORT_PUBLIC_KEY_INFO_EX2_FUNC, PFN_IMPORT_PUBLIC_KEY_INFO_EX2_FUNC),
    ORV_SET_OF(CRYPT_OID_IMPORT_PRIVATE_KEY_INFO_FUNC, PFN_IMPORT_PRIV_KEY_FUNC),
    ORV_SET_OF(CRYPT_OID_EXPORT_PRIVATE_KEY_INFO_FUNC, PFN_EXPORT_PRIV_KEY_FUNC),
    ORV_SET_OF(CRYPT_OID_EXTRACT_ENCODED_SIGNATURE_PARAMETERS_FUNC,
               PFN_CRYPT_EXTRACT_ENCODED_SIGNATURE_PARAMETERS_FUNC),
    ORV_SET_OF(CRYPT_OID_SIGN_AND_ENCODE_HASH_FUNC, PFN_CRYPT_SIGN_AND_ENCODE_HASH_FUNC),
    ORV_SET_OF(CRYPT_OID_VERIFY_ENCODED_SIGNATURE_FUNC, PFN_CRYPT_VERIFY_ENCODED_SIGNATURE_FUNC),
    ORV_SET_OF(CMSG_OID_GEN_ENCRYPT_KEY_FUNC, PFN_CMSG_GEN_ENCRYPT_KEY),
    ORV_SET_OF(CMSG_OID_EXPORT_ENCRYPT_KEY_FUNC, PFN_CMSG_EXPORT_ENCRYPT_KEY),
    ORV_SET_OF(CMSG_OID_IMPORT_ENCRYPT_KEY_FUNC, PFN_CMSG_IMPORT_ENCRYPT_KEY),
    ORV_SET_OF(CMSG_OID_GEN_CONTENT_ENCRYPT_KEY_FUNC, PFN_CMSG_GEN_CONTENT_ENCRYPT_KEY),
    ORV_SET_OF(CMSG_OID_CNG_GEN_CONTENT_ENCRYPT_KEY_FUNC, PFN_CMSG_GEN_CONTENT_ENCRYPT_KEY),
    ORV_SET_OF(CMSG_OID_EXPORT_KEY_TRANS_FUNC, PFN_CMSG_EXPORT_KEY_TRANS),
    ORV_SET_OF(CMSG_OID_CNG_EXPORT_KEY_TRANS_FUNC, PFN_CMSG_EXPORT_KEY_TRANS),
    ORV_SET_OF(CMSG_OID_EXPORT_KEY_AGREE_FUNC, PFN_CMSG_EXPORT_KEY_AGREE),
    ORV_SET_OF(CMSG_OID_CNG_EXPORT_KEY_AGREE_FUNC, PFN_CMSG_EXPORT_KEY_AGREE),
    ORV_SET_OF(CMSG_OID_EXPORT_MAIL_LIST_FUNC, PFN_CMSG_EXPORT_MAIL_LIST),
    ORV_SET_OF(CMSG_OID_IMPORT_KEY_TRANS_FUNC, PFN_CMSG_IMPORT_KEY_TRANS),
    ORV_SET_OF(CMSG_OID_IMPORT_KEY_AGREE_FUNC, PFN_CMSG_IMPORT_KEY_AGREE),
    ORV_SET_OF(CMSG_OID_IMPORT_MAIL_LIST_FUNC, PFN_CMSG_IMPORT_MAIL_LIST),
    ORV_SET_OF(CMSG_OID_CNG_IMPORT_KEY_TRANS_FUNC, PFN_CMSG_CNG_IMPORT_KEY_TRANS),
    ORV_SET_OF(CMSG_OID_CNG_IMPORT_KEY_AGREE_FUNC, PFN_CMSG_CNG_IMPORT_KEY_AGREE),
    ORV_SET_OF(CMSG_OID_CNG_IMPORT_CONTENT_ENCRYPT_KEY_FUNC, PFN_CMSG_CNG_IMPORT_CONTENT_ENCRYPT_KEY),
};

#undef ORV_SET_LIKE
#undef ORV_SET_OF

}  // namespace

// crypt32 matches set names without regard to case, so this does too: a
// name in another case reaches the same set and its callers.
void *OidFunctionStubFor(const char *func_name) {
    for (const OidSet &set : kSets)
        if (_stricmp(set.name, func_name) == 0) return set.stub();
    return nullptr;
}

#endif
