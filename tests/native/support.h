// Shared fixtures of the native suite: a stand-in VM per test, the bridge's
// natives declared as the VM would call them, and the instrumented module.
#ifndef ORVJNI_TEST_SUPPORT_H
#define ORVJNI_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "fakejni/fakejni.h"
#include "mock/mock_control.h"
#include "runtime/bridge.h"

extern "C" {
void JNICALL Java_Orvalith_Base_JNI_unloadExternalModule(JNIEnv *, jclass, jlong);
#if defined(_WIN32)
jlong JNICALL Java_Orvalith_Base_JNI_loadExternalModule(JNIEnv *, jclass, jstring, jboolean, jint);
#else
jlong JNICALL Java_Orvalith_Base_JNI_loadExternalModule(JNIEnv *, jclass, jstring);
#endif
}

// A fresh stand-in VM for every test; the bridge's jvm points at it.  Each
// test must leave no violation, no pending exception it did not expect to
// clear, and no leaked local reference.
class VmTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A JNI$Pointer object with the given fields, as Java would make one.
    jobject NewPointer(const void *p, jint size, jobject o = nullptr);
    jstring Str(const std::u16string &s) { return fakejni::new_string(env, s); }
    // The pending exception's message after checking its class; clears it.
    std::string TakeException(const char *class_name = "java/lang/Exception");

    fakejni::Vm *vm = nullptr;
    JNIEnv *env = nullptr;
    size_t locals_at_start = 0;
};

// False where starting a thread is known to bring the test process down
// (Wine under qemu-i386, as the Windows build is tested here); tests that
// need threads then return early or stay on the calling thread, and the
// first call in a test prints a "[ LEFT OUT ]" line naming it, which the
// Wine runner lists at the end of the run.  (They do not GTEST_SKIP:
// reporting a skip, like a failure, goes through OutputDebugString, which
// that Wine cannot take; see support.cpp.)
bool ThreadsWork();

// Test modules live next to the test program.
std::string ModuleFile(const char *variant);

// A module loaded through the bridge, with its control table.
struct MockModule {
    jlong handle = 0;
    const MockControl *control = nullptr;
};
jlong LoadModule(JNIEnv *env, const std::string &path);
// The control table of a module file some handle has loaded; null if none.
const MockControl *ControlOf(const std::string &path);
MockModule LoadMock(JNIEnv *env, const char *variant = "mockp11");
void UnloadModule(JNIEnv *env, jlong handle);

// Registers a heap block of that length in the library's registry, as
// getInstance(int) would, for tests of natives that check lengths against
// the blocks the registry knows; RegistryDelete drops it again.
bool RegisterHeapBlock(void *address, size_t length);

#endif
