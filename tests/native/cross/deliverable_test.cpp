// The shipped library as the virtual machine meets it: opened by file name,
// natives bound by the very names the VM looks up (stdcall-decorated on
// Windows), and the first calls, those that need no Java environment.
#include <gtest/gtest.h>
#include <jni.h>

#include <stdint.h>

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
void *Open() { return reinterpret_cast<void *>(LoadLibraryA(ORVJNI_DELIVERABLE)); }
void *Find(void *library, const std::string &name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name.c_str()));
}
void Close(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void *Open() { return dlopen(ORVJNI_DELIVERABLE, RTLD_NOW | RTLD_LOCAL); }
void *Find(void *library, const std::string &name) { return dlsym(library, name.c_str()); }
void Close(void *library) { dlclose(library); }
#endif

// The symbol the VM binds for a native whose arguments (environment and
// class included) take `bytes` bytes on the stack.
std::string VmName(const char *jni_name, int bytes) {
#if defined(_WIN32)
    return "_" + std::string(jni_name) + "@" + std::to_string(bytes);
#else
    (void)bytes;
    return jni_name;
#endif
}

class Deliverable : public ::testing::Test {
protected:
    void SetUp() override {
        library = Open();
        ASSERT_NE(library, nullptr) << "cannot open " << ORVJNI_DELIVERABLE;
    }
    void TearDown() override {
        if (library != nullptr) Close(library);
    }
    template <typename F>
    F Native(const char *jni_name, int bytes) {
        void *symbol = Find(library, VmName(jni_name, bytes));
        EXPECT_NE(symbol, nullptr) << VmName(jni_name, bytes);
        return reinterpret_cast<F>(symbol);
    }
    void *library = nullptr;
};

struct Bound {
    const char *name;
    int bytes;
};

// One native of each argument shape: no arguments, a long, a boolean and
// objects, and the Windows loader's three.
const Bound kBound[] = {
    {"Java_Orvalith_Base_JNI_00024Pointer_getPlatformSize", 8},
    {"Java_Orvalith_Base_JNI_00024Pointer_getContentAsString", 12},
    {"Java_Orvalith_Base_JNI_00024Pointer_copy", 28},
    {"Java_Orvalith_Base_JNI_c_1Finalize", 24},
    {"Java_Orvalith_Base_JNI_c_1GetSlotList", 28},
    {"Java_Orvalith_Base_JNI_c_1UnwrapKey", 64},
    {"Java_Orvalith_Base_JNI_unloadExternalModule", 16},
#if defined(_WIN32)
    {"Java_Orvalith_Base_JNI_loadExternalModule", 20},
#endif
};

TEST_F(Deliverable, BindsNativesByTheNamesTheVmLooksUp) {
    for (const Bound &bound : kBound) {
        EXPECT_NE(Find(library, VmName(bound.name, bound.bytes)), nullptr) << bound.name;
#if defined(_WIN32)
        // Only the decorated name: no plain twin, no decoration without underscore.
        EXPECT_EQ(Find(library, bound.name), nullptr) << bound.name;
        EXPECT_EQ(Find(library, std::string(bound.name) + "@" + std::to_string(bound.bytes)),
                  nullptr)
            << bound.name;
#endif
    }
}

TEST_F(Deliverable, ReportsThePlatformWidths) {
    typedef jbyte(JNICALL * SizeNative)(JNIEnv *, jclass);
    SizeNative pointer_size =
        Native<SizeNative>("Java_Orvalith_Base_JNI_00024Pointer_getPlatformSize", 8);
    SizeNative long_size =
        Native<SizeNative>("Java_Orvalith_Base_JNI_00024Pointer_getPlatformLongIntSize", 8);
    ASSERT_NE(pointer_size, nullptr);
    ASSERT_NE(long_size, nullptr);
    EXPECT_EQ(pointer_size(nullptr, nullptr), static_cast<jbyte>(sizeof(void *)));
    EXPECT_EQ(long_size(nullptr, nullptr), static_cast<jbyte>(sizeof(void *)));
#if defined(_WIN32) || defined(__mips__)
    EXPECT_EQ(pointer_size(nullptr, nullptr), 4);
#endif
}

TEST_F(Deliverable, AnswersNoFunctionWithoutAModule) {
    typedef jlong(JNICALL * FinalizeNative)(JNIEnv *, jclass, jlong, jlong);
    typedef void(JNICALL * UnloadNative)(JNIEnv *, jclass, jlong);
    FinalizeNative finalize = Native<FinalizeNative>("Java_Orvalith_Base_JNI_c_1Finalize", 24);
    UnloadNative unload = Native<UnloadNative>("Java_Orvalith_Base_JNI_unloadExternalModule", 16);
    ASSERT_NE(finalize, nullptr);
    ASSERT_NE(unload, nullptr);
    // A positive long on every build: CKR_NO_FUNCTION is not sign-extended.
    EXPECT_EQ(finalize(nullptr, nullptr, 0, 0), INT64_C(2147483649));
    // Only the low 32 bits of a handle count on the 32-bit builds.
    if (sizeof(void *) == 4) {
        EXPECT_EQ(finalize(nullptr, nullptr, INT64_C(1) << 32, 0), INT64_C(2147483649));
    }
    unload(nullptr, nullptr, 0);
}

}  // namespace
