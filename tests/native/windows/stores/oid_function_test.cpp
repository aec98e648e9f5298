// OID functions: registering and unregistering them, installing the stub
// for a set of OIDs, and localized names.
#include <stdint.h>
#include <string.h>

#include "pointer/registry.h"
#include "store_support.h"
#include "windows/crypt32_callbacks.h"

namespace {

// OIDs under a private arc, one per process so that parallel runs do not meet.
std::string TestOid(int n) {
    return "1.3.6.1.4.1.99999." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(n);
}

std::u16string Utf16(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A value of the OID's registration, or "" when there is none.
std::u16string RegisteredValue(const char *func, const std::string &oid, const WCHAR *value) {
    DWORD type = 0;
    WCHAR data[128] = {};
    DWORD n = sizeof data;
    if (!CryptGetOIDFunctionValue(X509_ASN_ENCODING, func, oid.c_str(), value, &type,
                                  reinterpret_cast<BYTE *>(data), &n))
        return u"";
    return reinterpret_cast<const char16_t *>(data);
}

typedef BOOL(WINAPI *SevenArguments)(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD);

}  // namespace

TEST_F(WindowsTest, OidFunctionIsRegisteredAndUnregistered) {
    const char func[] = "CryptDllOrvjniTest";
    struct Case {
        const char *what;
        const char16_t *override_name;
    } cases[] = {
        {"with the function's own name", nullptr},
        {"with an override name", u"OrvjniOverride"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string oid = TestOid(++n);
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptRegisterOIDFunction(
            env, nullptr, X509_ASN_ENCODING, Str(Utf16(func)), Str(Utf16(oid)), Str(u"orvjni-test.dll"),
            c.override_name ? Str(c.override_name) : nullptr))
            << "error " << GetLastError();
        EXPECT_EQ(RegisteredValue(func, oid, L"Dll"), u"orvjni-test.dll");
        EXPECT_EQ(RegisteredValue(func, oid, L"FuncName"), c.override_name ? c.override_name : u"");

        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptUnregisterOIDFunction(env, nullptr, X509_ASN_ENCODING,
                                                                      Str(Utf16(func)), Str(Utf16(oid))));
        EXPECT_EQ(RegisteredValue(func, oid, L"Dll"), u"");
    }
}

TEST_F(WindowsTest, InstalledEntriesPointAtTheStubOfTheirSet) {
    const char func[] = CRYPT_OID_DECODE_OBJECT_FUNC;
    std::string first = TestOid(10), second = TestOid(11);
    CRYPT_OID_FUNC_ENTRY entries[2] = {{first.c_str(), reinterpret_cast<void *>(0x1111)},
                                       {second.c_str(), reinterpret_cast<void *>(0x2222)}};
    jlong module = WidenAddress(GetModuleHandleW(nullptr));
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
        env, nullptr, module, X509_ASN_ENCODING, Str(Utf16(func)), 2, Pointer(entries, sizeof entries), 0))
        << "error " << GetLastError();
    void *stub = OidFunctionStubFor(func);
    ASSERT_NE(stub, nullptr);
    for (const CRYPT_OID_FUNC_ENTRY &entry : entries) EXPECT_EQ(entry.pvFuncAddr, stub);
    EXPECT_EQ(entries[0].pszOID, first.c_str());
    EXPECT_EQ(entries[1].pszOID, second.c_str());

    // The platform hands the stub out for the OID, and the stub says no.
    HCRYPTOIDFUNCSET set = CryptInitOIDFunctionSet(func, 0);
    ASSERT_NE(set, nullptr);
    void *address = nullptr;
    HCRYPTOIDFUNCADDR handle = nullptr;
    ASSERT_TRUE(CryptGetOIDFunctionAddress(set, X509_ASN_ENCODING, second.c_str(), 0, &address, &handle))
        << "error " << GetLastError();
    EXPECT_EQ(address, stub);
    EXPECT_FALSE(reinterpret_cast<SevenArguments>(address)(1, 2, 3, 4, 5, 6, 7));
    CryptFreeOIDFunctionAddress(handle, 0);
}

// Calls a stdcall function as a caller compiled against a prototype of
// `words` 32-bit parameters does: push them, call, and take the callee to
// have popped them all.  Answers the function's result; *drift is how far
// the stack pointer ended up from where it was before the pushes (0 for a
// function that pops exactly what was pushed).  The stack pointer is put
// back either way, so a wrong pop count is measured, not suffered.
static uint32_t CallWithWords(void *function, uint32_t words, int32_t *drift) {
    uint32_t result;
    int32_t moved;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "1:\n\t"
        "pushl $0\n\t"
        "loop 1b\n\t"
        "call *%%edi\n\t"
        "movl %%esp, %%edx\n\t"
        "subl %%esi, %%edx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "=d"(moved), "+c"(words)
        : "D"(function)
        : "esi", "memory", "cc");
    *drift = moved;
    return result;
}

// crypt32 calls an installed function with its set's own arguments; each
// set's stub must pop exactly those.  Argument counts from the sets'
// prototypes.
TEST_F(WindowsTest, EachSetsStubPopsWhatItsCallerPushed) {
    struct Case {
        const char *set;
        uint32_t words;
    } cases[] = {
        {CRYPT_OID_ENCODE_OBJECT_FUNC, 5},
        {CRYPT_OID_DECODE_OBJECT_FUNC, 7},
        {CRYPT_OID_ENCODE_OBJECT_EX_FUNC, 7},
        {CRYPT_OID_DECODE_OBJECT_EX_FUNC, 8},
        {CRYPT_OID_FORMAT_OBJECT_FUNC, 9},
        {CRYPT_OID_VERIFY_REVOCATION_FUNC, 7},
        {CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC, 4},
        {CRYPT_OID_OPEN_STORE_PROV_FUNC, 7},
        {CRYPT_OID_UNREGISTER_SYSTEM_STORE_FUNC, 2},
        {CRYPT_OID_REGISTER_PHYSICAL_STORE_FUNC, 5},
        {CRYPT_OID_EXPORT_PUBLIC_KEY_INFO_FUNC, 8},
        {CRYPT_OID_IMPORT_PUBLIC_KEY_INFO_EX2_FUNC, 5},
        {CRYPT_OID_IMPORT_PRIVATE_KEY_INFO_FUNC, 4},
        {CRYPT_OID_SIGN_AND_ENCODE_HASH_FUNC, 10},
        {CMSG_OID_GEN_ENCRYPT_KEY_FUNC, 8},
        {CMSG_OID_GEN_CONTENT_ENCRYPT_KEY_FUNC, 3},
        {CMSG_OID_EXPORT_KEY_TRANS_FUNC, 5},
        {CMSG_OID_CNG_IMPORT_KEY_AGREE_FUNC, 4},
        // crypt32 takes set names in any case.
        {"cryptdllencodeobject", 5},
    };
    jlong module = WidenAddress(GetModuleHandleW(nullptr));
    int n = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.set);
        std::string oid = TestOid(++n);
        CRYPT_OID_FUNC_ENTRY entry = {oid.c_str(), nullptr};
        ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
            env, nullptr, module, X509_ASN_ENCODING, Str(Utf16(c.set)), 1, Pointer(&entry, sizeof entry), 0))
            << "error " << GetLastError();
        ASSERT_NE(entry.pvFuncAddr, nullptr);
        int32_t drift = -1;
        EXPECT_EQ(CallWithWords(entry.pvFuncAddr, c.words, &drift), 0u);
        EXPECT_EQ(drift, 0) << "the stub popped " << (4 * static_cast<int32_t>(c.words) + drift)
                            << " bytes of arguments";
    }
}

// Nothing is written unless every entry lies inside the block and the set
// has a stub: -1 entries would run until the process faults, more entries
// than a known block holds would write past it, and a stub guessed for an
// unknown set would pop what its caller may not have pushed.
TEST_F(WindowsTest, InstallingRefusesEntriesItCannotWriteSafely) {
    CRYPT_OID_FUNC_ENTRY entries[4];
    struct Case {
        const char *what;
        const char *set;
        jint count;
        size_t known;  // bytes the registry knows of the block; 0: not registered
        bool installed;
    } cases[] = {
        {"negative count", CRYPT_OID_ENCODE_OBJECT_FUNC, -1, 0, false},
        {"count past a known block", CRYPT_OID_ENCODE_OBJECT_FUNC, 3, 16, false},
        {"count filling a known block", CRYPT_OID_ENCODE_OBJECT_FUNC, 2, 16, true},
        {"a set with no known prototype", "OrvjniTestFunction", 1, 0, false},
    };
    jlong module = WidenAddress(GetModuleHandleW(nullptr));
    int n = 200;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> oids;
        for (CRYPT_OID_FUNC_ENTRY &entry : entries) {
            oids.push_back(TestOid(++n));
            entry = {oids.back().c_str(), reinterpret_cast<void *>(0x1111)};
        }
        if (c.known) {
            ASSERT_TRUE(RegistryAdd(entries, BlockFacts{c.known, 0}));
        }
        SetLastError(0);
        jboolean ok = Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
            env, nullptr, module, X509_ASN_ENCODING, Str(Utf16(c.set)), c.count, Pointer(entries, 16), 0);
        if (c.known) {
            EXPECT_TRUE(RegistryDelete(entries));
        }
        EXPECT_EQ(ok, c.installed ? JNI_TRUE : JNI_FALSE);
        size_t written = 0;
        for (const CRYPT_OID_FUNC_ENTRY &entry : entries)
            if (entry.pvFuncAddr != reinterpret_cast<void *>(0x1111)) written++;
        if (c.installed) {
            EXPECT_EQ(written, static_cast<size_t>(c.count));
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(written, 0u);
        }
    }
}

TEST_F(WindowsTest, InstallingNoEntriesLeavesTheBlockAlone) {
    unsigned char block[16];
    memset(block, 0xA5, sizeof block);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
        env, nullptr, WidenAddress(GetModuleHandleW(nullptr)), X509_ASN_ENCODING, Str(u"OrvjniNoEntries"), 0,
        Pointer(block, sizeof block), 0));
    for (unsigned char b : block) EXPECT_EQ(b, 0xA5);

    // Entries to fill and no block to hold them: refused, not written through NULL.
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
        env, nullptr, WidenAddress(GetModuleHandleW(nullptr)), X509_ASN_ENCODING, Str(u"OrvjniNoEntries"), 1,
        nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(WindowsTest, LocalizedNamesOfStores) {
    struct Case {
        const char16_t *name;
        bool known;
    } cases[] = {{u"Root", true}, {u"My", true}, {u"orvjni-no-such-name", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        jstring localized = Java_Orvalith_Base_JNI_cryptFindLocalizedName(env, nullptr, Str(c.name));
        if (!c.known) {
            EXPECT_EQ(localized, nullptr);
            continue;
        }
        ASSERT_NE(localized, nullptr);
        const WCHAR *expected = CryptFindLocalizedName(reinterpret_cast<const WCHAR *>(c.name));
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(fakejni::string_chars(vm, localized), reinterpret_cast<const char16_t *>(expected));
        EXPECT_FALSE(fakejni::string_chars(vm, localized).empty());
    }
}

// Java strings as ANSI text when the VM cannot supply the string: no text
// at all, so that the native stops before the platform is called.
TEST_F(WindowsTest, AStringTheVmCannotSupplyStopsTheNative) {
    fakejni::fail_allocation(vm, fakejni::kAllocElements, 1);
    EXPECT_EQ(jstringToWindows(env, Str(u"orvjni")), nullptr);
    TakeException("java/lang/OutOfMemoryError");

    // A native with an ANSI argument refuses the call, the VM's error pending.
    fakejni::fail_allocation(vm, fakejni::kAllocElements, 1);
    SetLastError(0);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptUnregisterOIDFunction(env, nullptr, X509_ASN_ENCODING,
                                                                   Str(u"CryptDllOrvjniTest"),
                                                                   Str(u"1.3.6.1.4.1.99999.1")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    TakeException("java/lang/OutOfMemoryError");
    EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
}
