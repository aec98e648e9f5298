// A stand-in VM per test for the Windows natives, which run against the
// platform's own advapi32, kernel32 and ole32 (under Wine on the build
// host).  The VM hands out copies of array elements, so a cell written
// without copy-back would show.
#ifndef ORVJNI_WINDOWS_SUPPORT_H
#define ORVJNI_WINDOWS_SUPPORT_H

#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "fakejni/fakejni.h"
#include "runtime/bridge.h"
#include "windows_natives.h"

// A Java int or long holding a 32-bit code or flag word bit for bit.
inline jint Jint(DWORD value) { return static_cast<jint>(value); }
// A Java long whose low 32 bits are the value and whose high 32 bits are
// whatever Java happened to leave there.
inline jlong WithHighBits(ULONG_PTR value, uint32_t high) {
    return static_cast<jlong>((static_cast<uint64_t>(high) << 32) | static_cast<uint32_t>(value));
}

class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A JNI$Pointer as Java makes one: (p, o, size).
    jobject Pointer(const void *block, jint size, jobject o = nullptr);
    // An object whose class has "size" but no field "p".
    jobject Foreign();
    jintArray IntCell(jint value) { return fakejni::new_int_array(env, {value}); }
    jlongArray LongCell(jlong value) { return fakejni::new_long_array(env, {value}); }
    jint Cell(jintArray cell) { return fakejni::int_elements(vm, cell).at(0); }
    jlong Cell(jlongArray cell) { return fakejni::long_elements(vm, cell).at(0); }
    jlong P(jobject pointer) { return fakejni::long_field(vm, pointer, "p"); }
    jint Size(jobject pointer) { return fakejni::int_field(vm, pointer, "size"); }
    jstring Str(const std::u16string &s) { return fakejni::new_string(env, s); }
    // The pending exception's message after checking its class; clears it.
    std::string TakeException(const char *class_name = "java/lang/Exception");

    fakejni::Vm *vm = nullptr;
    JNIEnv *env = nullptr;
};

// The call trace switched on into a file of the test's own
// (ORVJNI_TRACE through the CRT's environment, which the library reads),
// and back to what the variable was by Stop or at the latest by the
// destructor.
struct TraceCapture {
    TraceCapture();
    ~TraceCapture();
    // Off ("" = unset for the library), or on again into the same file.
    void Off();
    void On();
    std::string Written() const;
    std::vector<std::string> Lines() const;
    // The last line of the native's calls; "" when it wrote none.
    std::string LineOf(const std::string &native) const;

    std::string path, previous;
    bool had = false;
};

// A verify-context provider of the RSA and AES type for each test.
class ProviderTest : public WindowsTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A key or hash handle from a native that fills a handle cell.
    HCRYPTKEY GenKey(ALG_ID alg, DWORD flags);
    HCRYPTHASH NewHash(ALG_ID alg);
    // Bytes of a buffer, for readable comparisons.
    static std::string Hex(const unsigned char *bytes, size_t n);

    HCRYPTPROV prov = 0;
};

#endif
