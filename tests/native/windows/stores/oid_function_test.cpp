// OID functions: registering and unregistering them, installing the stub
// for a set of OIDs, and localized names.
#include <string.h>

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

TEST_F(WindowsTest, InstalledEntriesPointAtTheStub) {
    const char func[] = "OrvjniTestFunction";
    std::string first = TestOid(10), second = TestOid(11);
    CRYPT_OID_FUNC_ENTRY entries[2] = {{first.c_str(), reinterpret_cast<void *>(0x1111)},
                                       {second.c_str(), reinterpret_cast<void *>(0x2222)}};
    jlong module = WidenAddress(GetModuleHandleW(nullptr));
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
        env, nullptr, module, X509_ASN_ENCODING, Str(Utf16(func)), 2, Pointer(entries, sizeof entries), 0))
        << "error " << GetLastError();
    for (const CRYPT_OID_FUNC_ENTRY &entry : entries) {
        EXPECT_EQ(entry.pvFuncAddr, reinterpret_cast<void *>(&OidFunctionStub));
    }
    EXPECT_EQ(entries[0].pszOID, first.c_str());
    EXPECT_EQ(entries[1].pszOID, second.c_str());

    // The platform hands the stub out for the OID, and the stub says no.
    HCRYPTOIDFUNCSET set = CryptInitOIDFunctionSet(func, 0);
    ASSERT_NE(set, nullptr);
    void *address = nullptr;
    HCRYPTOIDFUNCADDR handle = nullptr;
    ASSERT_TRUE(CryptGetOIDFunctionAddress(set, X509_ASN_ENCODING, second.c_str(), 0, &address, &handle))
        << "error " << GetLastError();
    EXPECT_EQ(address, reinterpret_cast<void *>(&OidFunctionStub));
    EXPECT_FALSE(reinterpret_cast<SevenArguments>(address)(1, 2, 3, 4, 5, 6, 7));
    CryptFreeOIDFunctionAddress(handle, 0);
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
