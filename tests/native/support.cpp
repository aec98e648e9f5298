#include "support.h"

#include "pointer/registry.h"

#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

void VmTest::SetUp() {
    vm = fakejni::create_vm();
    env = fakejni::env(vm);
#if !defined(_WIN32)
    jvm = fakejni::java_vm(vm);
#endif
    locals_at_start = fakejni::local_refs(env);
}

void VmTest::TearDown() {
    EXPECT_FALSE(fakejni::pending_exception(env).present)
        << fakejni::pending_exception(env).class_name << ": "
        << fakejni::pending_exception(env).message;
    EXPECT_EQ(fakejni::violations(vm), std::vector<std::string>{});
#if !defined(_WIN32)
    jvm = nullptr;
#endif
    fakejni::destroy_vm(vm);
}

jobject VmTest::NewPointer(const void *p, jint size, jobject o) {
    jobject obj = fakejni::new_object(env, ORV_POINTER_CLASS);
    fakejni::set_long_field(vm, obj, "p", WidenAddress(p));
    fakejni::set_int_field(vm, obj, "size", size);
    fakejni::set_object_field(vm, obj, "o", o);
    return obj;
}

std::string VmTest::TakeException(const char *class_name) {
    fakejni::PendingException e = fakejni::pending_exception(env);
    EXPECT_TRUE(e.present);
    EXPECT_EQ(e.class_name, class_name);
    fakejni::clear_exception(env);
    return e.message;
}

#if defined(_WIN32)
// GoogleTest reports failures through OutputDebugStringA as well, which
// raises DBG_PRINTEXCEPTION_C; with no debugger attached that exception
// must be passed over, which emulated Wine fails to do, taking the test
// program down at its first failure.  Passing over it here keeps every
// failure readable.
static LONG CALLBACK IgnoreDebugPrint(EXCEPTION_POINTERS *info) {
    return info->ExceptionRecord->ExceptionCode == DBG_PRINTEXCEPTION_C ? EXCEPTION_CONTINUE_EXECUTION
                                                                       : EXCEPTION_CONTINUE_SEARCH;
}
static void *const debug_print_handler = AddVectoredExceptionHandler(1, IgnoreDebugPrint);
#endif

bool ThreadsWork() {
    if (getenv("ORVJNI_EMULATED_WINE") == nullptr) return true;
    // One line per test that leaves something out, for the Wine runner to
    // list at the end of the run: a silent early return would read as a
    // pass of the whole test.
    static const ::testing::TestInfo *said = nullptr;
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test != nullptr && test != said) {
        said = test;
        printf("[ LEFT OUT ] %s.%s: its part on a second thread (emulated Wine cannot start one)\n",
               test->test_suite_name(), test->name());
        fflush(stdout);
    }
    return false;
}

std::string ModuleFile(const char *variant) {
#if defined(_WIN32)
    return std::string(".\\lib") + variant + ".dll";
#else
    return std::string("./lib") + variant + ".so";
#endif
}

jlong LoadModule(JNIEnv *env, const std::string &path) {
    jstring name = env->NewStringUTF(path.c_str());
#if defined(_WIN32)
    // The test modules' own tables are packed.  Saying so keeps the
    // loader's detection, which reads the low byte of entry 0, out of tests
    // that clear that entry; WindowsLoaderTest covers detection itself.
    jlong handle = Java_Orvalith_Base_JNI_loadExternalModule(env, nullptr, name, JNI_FALSE, 1);
#else
    jlong handle = Java_Orvalith_Base_JNI_loadExternalModule(env, nullptr, name);
#endif
    env->DeleteLocalRef(name);
    return handle;
}

const MockControl *ControlOf(const std::string &path) {
#if defined(_WIN32)
    // Loaded modules are known by their file name.
    HMODULE library = GetModuleHandleA(path.substr(path.find_last_of('\\') + 1).c_str());
    if (library == nullptr) return nullptr;
    MockControlFn fn = reinterpret_cast<MockControlFn>(
        reinterpret_cast<void *>(GetProcAddress(library, MOCK_CONTROL_SYMBOL)));
#else
    // The bridge's open keeps the library mapped; this one only finds it.
    void *library = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    MockControlFn fn = reinterpret_cast<MockControlFn>(dlsym(library, MOCK_CONTROL_SYMBOL));
    dlclose(library);
#endif
    return fn != nullptr ? fn() : nullptr;
}

MockModule LoadMock(JNIEnv *env, const char *variant) {
    MockModule mock;
    std::string path = ModuleFile(variant);
    mock.handle = LoadModule(env, path);
    if (mock.handle != 0) mock.control = ControlOf(path);
    if (mock.control != nullptr) mock.control->reset();
    return mock;
}

void UnloadModule(JNIEnv *env, jlong handle) {
    Java_Orvalith_Base_JNI_unloadExternalModule(env, nullptr, handle);
}

bool RegisterHeapBlock(void *address, size_t length) {
    BlockRecord record{address, nullptr, static_cast<uint32_t>(length), 0, 1, kBlockAllocated};
    return RegistryAdd(&record) == kRegistryAdded;
}
