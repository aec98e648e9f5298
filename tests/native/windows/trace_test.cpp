// The call trace of the Windows natives: one line per call into a file,
// with what the platform got and answered, and nothing at all when the
// trace is off.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>

#include "pointer/registry.h"
#include "runtime/trace.h"
#include "store_natives.h"
#include "store_support.h"
#include "support.h"
#include "windows/status_names.h"
#include "windows_support.h"

namespace {

uintptr_t AddressOf(const void *p) { return reinterpret_cast<uintptr_t>(p); }

std::string HexOf(unsigned long value) {
    char text[16];
    snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

// The trace on into a file for the test; the fixture's own calls before
// it are not in it.
class WindowsTraceTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        trace = std::make_unique<TraceCapture>();
    }
    void TearDown() override {
        trace.reset();
        ProviderTest::TearDown();
    }
    void Switch(bool on) { on ? trace->On() : trace->Off(); }
    std::string Written() { return trace->Written(); }
    std::vector<std::string> Lines() { return trace->Lines(); }
    // The line of native, which must be there.
    std::string LineOf(const std::string &native) {
        std::string found = trace->LineOf(native);
        EXPECT_NE(found, "") << native << " wrote no line:\n" << Written();
        return found;
    }

    std::unique_ptr<TraceCapture> trace;
};

}  // namespace

TEST_F(WindowsTraceTest, LinesShowArgumentsCellsAndAnswers) {
    HCRYPTHASH hash = NewHash(CALG_SHA1);
    unsigned char digest[64];
    unsigned char guid[16];
    jintArray digest_len = IntCell(64);
    jlongArray key = LongCell(WithHighBits(0x66, 0xABCD));
    jlongArray reg = LongCell(0);
    struct Case {
        const char *native;
        std::function<void()> call;
        std::vector<std::string> shown;  // pieces of its line, in order
    } cases[] = {
        {"cryptGenKey",
         [&] {
             EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptGenKey(env, nullptr, WithHighBits(prov, 0x1234),
                                                            Jint(CALG_AES_128), Jint(CRYPT_EXPORTABLE), key));
         },
         // The handle's low 32 bits, the cell's preset low bits and the key.
         {"(" + HexOf(prov) + ", 0x660e, 0x1, [0x66 -> ", "]) = true in ", " us"}},
        {"cryptGetHashParam",
         [&] {
             EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptGetHashParam(env, nullptr, hash, HP_HASHVAL,
                                                                  Pointer(digest, 64), digest_len, 0));
         },
         // The Pointer as it went in: its "size" is updated only after the line.
         {"(" + HexOf(hash) + ", 0x2, ", "[size 64], [0x40 -> 0x14], 0x0) = true in "}},
        {"regOpenKeyEx",
         [&] {
             EXPECT_EQ(Java_Orvalith_Base_JNI_regOpenKeyEx(env, nullptr, 0x80000002LL,
                                                           Str(u"Software\\NoSuchKeyOfOrvjni"), 0,
                                                           Jint(KEY_READ), reg),
                       Jint(ERROR_FILE_NOT_FOUND));
         },
         {"(0x80000002, \"Software\\\\NoSuchKeyOfOrvjni\", 0x0, 0x20019, [0x0 -> 0x0]) = "
          "ERROR_FILE_NOT_FOUND (0x2) in "}},
        {"coCreateGuid",
         [&] { EXPECT_EQ(Java_Orvalith_Base_JNI_coCreateGuid(env, nullptr, Pointer(guid, 16)), 0); },
         {"[size 16]) = S_OK (0x0) in "}},
        // Refused before the platform: the argument in its place, those
        // after it never read, the answer and the last error it set.
        {"cryptExportKey",
         [&] {
             EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptExportKey(env, nullptr, 0x10, 0x20, PUBLICKEYBLOB, 0,
                                                                nullptr, nullptr));
         },
         {"(0x10, 0x20, 0x6, 0x0, null, <a null or empty cell>) refused: argument 6 cannot be passed = "
          "false, last error ERROR_INVALID_PARAMETER (0x57)"}},
        // The string taken before the refusal is shown, then given back.
        {"regOpenKeyEx",
         [&] {
             EXPECT_EQ(Java_Orvalith_Base_JNI_regOpenKeyEx(env, nullptr, 0x80000002LL, Str(u"Software"), 0,
                                                           Jint(KEY_READ), nullptr),
                       Jint(ERROR_INVALID_PARAMETER));
         },
         {"(0x80000002, \"Software\", 0x0, 0x20019, <a null or empty cell>) refused: argument 5 cannot be "
          "passed = ERROR_INVALID_PARAMETER (0x57)"}},
        {"cryptHashData",
         [&] {
             EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptHashData(env, nullptr, hash, Foreign(), 3, 0));
             EXPECT_EQ(TakeException(), "Can't find p field in class.");
         },
         {"(" + HexOf(hash) + ", <a Pointer without \"p\">, ...) refused: argument 2 cannot be passed = false"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.native);
        c.call();
        std::string line = LineOf(c.native);
        size_t at = 0;
        for (const std::string &piece : c.shown) {
            size_t found = line.find(piece, at);
            EXPECT_NE(found, std::string::npos) << "\"" << piece << "\" in\n" << line;
            if (found != std::string::npos) at = found + piece.size();
        }
    }
    EXPECT_NE(Written().find("Pointer an object without \"p\""), std::string::npos)
        << "the missing \"p\" is a decision of its own";
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyKey(env, nullptr, Cell(key)));
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptDestroyHash(env, nullptr, hash));
}

// The failure the platform reports reaches the caller unchanged, and the
// line names it.
TEST_F(WindowsTraceTest, LastErrorIsNamedAndSurvivesTheTrace) {
    auto acquire = [&] {
        jlongArray cell = LongCell(0x77);
        EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptAcquireContext(
            env, nullptr, cell, nullptr, Str(u"No Such Provider Anywhere"), PROV_RSA_AES,
            Jint(CRYPT_VERIFYCONTEXT)));
        return GetLastError();
    };
    Switch(false);
    DWORD untraced = acquire();
    Switch(true);
    DWORD traced = acquire();
    EXPECT_EQ(traced, untraced);
    EXPECT_EQ(static_cast<DWORD>(Java_Orvalith_Base_JNI_getLastError(env, nullptr)), untraced);
    ASSERT_NE(Win32CodeName(untraced), nullptr) << HexOf(untraced) << " has no name";
    std::string named = std::string(Win32CodeName(untraced)) + " (" + HexOf(untraced) + ")";
    EXPECT_NE(LineOf("cryptAcquireContext")
                  .find("([-> 0x0], null, \"No Such Provider Anywhere\", 0x18, 0xf0000000) = false, last error " +
                        named + " in "),
              std::string::npos)
        << Written();
    EXPECT_NE(Written().find("getLastError() = " + named), std::string::npos);
}

// A PIN goes to the platform in a block: the line shows its size only,
// and nothing of it is ever written.
TEST_F(WindowsTraceTest, PinBlocksShowOnlyTheirSize) {
    char pin[] = "S3cr3t-4711";
    for (DWORD param : {DWORD(PP_KEYEXCHANGE_PIN), DWORD(PP_SIGNATURE_PIN)}) {
        SCOPED_TRACE(param);
        Java_Orvalith_Base_JNI_cryptSetProvParam(env, nullptr, prov, Jint(param),
                                                 Pointer(pin, sizeof pin), 0);
        EXPECT_NE(Written().find("cryptSetProvParam(" + HexOf(prov) + ", " + HexOf(param) + ", <PIN, 12 bytes>, 0x0) = "),
                  std::string::npos)
            << Written();
    }
    EXPECT_EQ(Written().find("S3cr3t"), std::string::npos);
    // Any other parameter's block shows its address and size, never its bytes.
    Java_Orvalith_Base_JNI_cryptSetProvParam(env, nullptr, prov, 0x7777, Pointer(pin, sizeof pin), 0);
    EXPECT_NE(LineOf("cryptSetProvParam").find(", 0x7777, "), std::string::npos);
    EXPECT_NE(LineOf("cryptSetProvParam").find("[size 12], 0x0) = false"), std::string::npos);
    EXPECT_EQ(Written().find("S3cr3t"), std::string::npos);
}

// A length past a block the registry knows is refused before the
// platform, and the line says which length and which block.
TEST_F(WindowsTraceTest, BoundsRefusalsSayWhatRunsPast) {
    ObjectArrays arrays(env);
    CRYPT_OID_FUNC_ENTRY entries[4] = {};
    char text[64] = "signed by orvjni";
    BYTE blob[4096];
    CRYPT_SIGN_MESSAGE_PARA para = {};
    auto sign = [&](jint text_length, jint capacity) {
        return Java_Orvalith_Base_JNI_cryptSignMessage(
            env, nullptr, Pointer(&para, sizeof para), JNI_FALSE, 1, arrays.Make({Pointer(text, 16)}),
            fakejni::new_int_array(env, {text_length}), Pointer(blob, 16), IntCell(capacity));
    };
    struct Case {
        const char *what;
        void *block;
        size_t known;  // bytes the registry knows of the block
        std::function<jboolean()> call;
        std::string shown;
    } cases[] = {
        {"entries past their block", entries, 16,
         [&] {
             return Java_Orvalith_Base_JNI_cryptInstallOIDFunctionAddress(
                 env, nullptr, 0, X509_ASN_ENCODING, Str(u"" CRYPT_OID_ENCODE_OBJECT_FUNC), 3,
                 Pointer(entries, 16), 0);
         },
         "cryptInstallOIDFunctionAddress refused: the entries, 3 x 8 bytes at " + HexOf(AddressOf(entries)) +
             ", runs past its registered block of 16 bytes"},
        {"message past its block", text, 4, [&] { return sign(16, sizeof blob); },
         "cryptSignMessage refused: message 0, 16 x 1 bytes at " + HexOf(AddressOf(text)) +
             ", runs past its registered block of 4 bytes"},
        {"capacity past the signed block", blob, 16, [&] { return sign(16, sizeof blob); },
         "cryptSignMessage refused: the signed-message capacity, 4096 x 1 bytes at " + HexOf(AddressOf(blob)) +
             ", runs past its registered block of 16 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(RegisterHeapBlock(c.block, c.known));
        EXPECT_FALSE(c.call());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(RegistryDelete(c.block));
        EXPECT_NE(Written().find(c.shown + " = false, last error ERROR_INVALID_PARAMETER (0x57)"),
                  std::string::npos)
            << Written();
    }
}

// Switched off, the trace writes nothing more, whatever the natives do.
TEST_F(WindowsTraceTest, OffWritesNothing) {
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptReleaseContext(env, nullptr, prov, 0) ||
                GetLastError() != 0);
    prov = 0;
    ASSERT_EQ(Lines().size(), 1u) << Written();
    Switch(false);
    unsigned char guid[16];
    Java_Orvalith_Base_JNI_coCreateGuid(env, nullptr, Pointer(guid, 16));
    EXPECT_FALSE(Java_Orvalith_Base_JNI_cryptGenKey(env, nullptr, 0, Jint(CALG_AES_128), 0, nullptr));
    Java_Orvalith_Base_JNI_getLastError(env, nullptr);
    EXPECT_EQ(Lines().size(), 1u) << Written();
}
