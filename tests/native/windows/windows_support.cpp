#include "windows_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "runtime/trace.h"

void WindowsTest::SetUp() {
    vm = fakejni::create_vm();
    env = fakejni::env(vm);
    fakejni::set_copy_elements(vm, true);
}

void WindowsTest::TearDown() {
    EXPECT_FALSE(fakejni::pending_exception(env).present)
        << fakejni::pending_exception(env).class_name << ": "
        << fakejni::pending_exception(env).message;
    EXPECT_EQ(fakejni::violations(vm), std::vector<std::string>{});
    // Cells, string characters: everything taken was given back.
    EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
    fakejni::destroy_vm(vm);
}

jobject WindowsTest::Pointer(const void *block, jint size, jobject o) {
    jobject obj = fakejni::new_object(env, ORV_POINTER_CLASS);
    fakejni::set_long_field(vm, obj, "p", WidenAddress(block));
    fakejni::set_int_field(vm, obj, "size", size);
    fakejni::set_object_field(vm, obj, "o", o);
    return obj;
}

jobject WindowsTest::Foreign() {
    fakejni::define_class(vm, "test/Foreign", "java/lang/Object", {{"size", "I"}});
    return fakejni::new_object(env, "test/Foreign");
}

std::string WindowsTest::TakeException(const char *class_name) {
    fakejni::PendingException e = fakejni::pending_exception(env);
    EXPECT_TRUE(e.present);
    EXPECT_EQ(e.class_name, class_name);
    fakejni::clear_exception(env);
    return e.message;
}

void ProviderTest::SetUp() {
    WindowsTest::SetUp();
    jlongArray cell = LongCell(0);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_cryptAcquireContext(env, nullptr, cell, nullptr, nullptr,
                                                           PROV_RSA_AES, Jint(CRYPT_VERIFYCONTEXT)))
        << "error " << GetLastError();
    prov = static_cast<HCRYPTPROV>(Cell(cell));
    ASSERT_NE(prov, 0u);
}

void ProviderTest::TearDown() {
    if (prov != 0) {
        EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptReleaseContext(env, nullptr, prov, 0));
    }
    WindowsTest::TearDown();
}

HCRYPTKEY ProviderTest::GenKey(ALG_ID alg, DWORD flags) {
    jlongArray cell = LongCell(0);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptGenKey(env, nullptr, prov, Jint(alg), Jint(flags), cell))
        << "error " << GetLastError();
    return static_cast<HCRYPTKEY>(Cell(cell));
}

HCRYPTHASH ProviderTest::NewHash(ALG_ID alg) {
    jlongArray cell = LongCell(0);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptCreateHash(env, nullptr, prov, Jint(alg), 0, 0, cell))
        << "error " << GetLastError();
    return static_cast<HCRYPTHASH>(Cell(cell));
}

std::string ProviderTest::Hex(const unsigned char *bytes, size_t n) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

static void SwitchTrace(const char *value) {
    _putenv_s("ORVJNI_TRACE", value);
    TraceReset();
}

TraceCapture::TraceCapture() {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    path = std::string(folder) + "orvjni-trace-test-" + std::to_string(GetCurrentProcessId()) + ".log";
    remove(path.c_str());
    const char *old = getenv("ORVJNI_TRACE");
    had = old != nullptr;
    if (had) previous = old;
    On();
}

TraceCapture::~TraceCapture() {
    SwitchTrace(had ? previous.c_str() : "");
    remove(path.c_str());
}

void TraceCapture::Off() { SwitchTrace(""); }
void TraceCapture::On() { SwitchTrace(path.c_str()); }

std::string TraceCapture::Written() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> TraceCapture::Lines() const {
    std::vector<std::string> lines;
    std::stringstream text(Written());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::string TraceCapture::LineOf(const std::string &native) const {
    std::string found;
    for (const std::string &line : Lines())
        if (line.find(" " + native + "(") != std::string::npos) found = line;
    return found;
}
