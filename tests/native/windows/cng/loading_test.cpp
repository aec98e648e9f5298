// How the bridge comes by its libraries.  Runs in a process of its own with
// WINEDLLOVERRIDES naming ncrypt.dll and cryptui.dll native only, so that
// nothing is found until a test puts the stand-ins' folder on the search
// path.  The tests share the process's binding slots and run in order.
#include "cng_support.h"

class Loading : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        CNG_SUITE_PROCESS("loading");
    }
};

// The library turns up between two calls: the first calls answer as if
// there were no CNG, the next one binds and calls.
TEST_F(Loading, AMissingLibraryIsLookedForAgainOnEveryCall) {
    ASSERT_EQ(GetModuleHandleW(L"ncrypt.dll"), nullptr) << "WINEDLLOVERRIDES=" << DllOverrides();
    jlongArray provider = LongCell(7);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, provider, Str(u"p"), 0), -1);
        EXPECT_FALSE(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, 1));
    }
    EXPECT_EQ(Cell(provider), 7);
    EXPECT_FALSE(EverWritten(vm, provider));
    ASSERT_EQ(GetModuleHandleW(L"ncrypt.dll"), nullptr);

    ASSERT_TRUE(SetDllDirectoryW(DoublesDirectory().c_str()));
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, provider, Str(u"p"), 0),
              ERROR_SUCCESS);
    DoubleLibrary ncrypt;
    ASSERT_TRUE(ncrypt.Attach(GetModuleHandleW(L"ncrypt.dll")))
        << "the bridge loaded no recording ncrypt.dll; WINEDLLOVERRIDES=" << DllOverrides();
    std::vector<RecordedCall> calls = ncrypt.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_STREQ(calls[0].function, "NCryptOpenStorageProvider");
    EXPECT_EQ(TextOf(calls[0], 1), u"p");

    Script s{};
    s.result = TRUE;
    ncrypt.script(&s);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, 1));
}

// The library the bridge loaded holds its own reference: a load and a
// release by someone else leave it in the process.
TEST_F(Loading, ALibraryTheBridgeLoadedIsNeverReleased) {
    ASSERT_TRUE(SetDllDirectoryW(DoublesDirectory().c_str()));
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptFreeObject(env, nullptr, 5), ERROR_SUCCESS);
    HMODULE loaded = GetModuleHandleW(L"ncrypt.dll");
    ASSERT_NE(loaded, nullptr);
    HMODULE again = LoadLibraryW(L"ncrypt.dll");
    ASSERT_EQ(again, loaded);
    ASSERT_TRUE(FreeLibrary(again));
    EXPECT_EQ(GetModuleHandleW(L"ncrypt.dll"), loaded);
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptFinalizeKey(env, nullptr, 5, 0), ERROR_SUCCESS);
}

// A library that is in the process already is taken as it is: the bridge
// adds no reference, so its owner's release unloads it.  This leaves the
// cryptui slots pointing nowhere; no later test in this process uses them.
TEST_F(Loading, ALibraryAlreadyLoadedIsUsedWithoutLoadingItAgain) {
    std::wstring path = DoublesDirectory() + L"\\cryptui.dll";
    DoubleLibrary cryptui;
    ASSERT_TRUE(cryptui.Attach(LoadLibraryW(path.c_str())))
        << "WINEDLLOVERRIDES=" << DllOverrides();
    Script s{};
    s.result = TRUE;
    cryptui.script(&s);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, 0, 0, nullptr, nullptr, 0));
    EXPECT_EQ(cryptui.count(), 1u);
    ASSERT_TRUE(FreeLibrary(cryptui.module));
    EXPECT_EQ(GetModuleHandleW(L"cryptui.dll"), nullptr) << "the bridge kept a reference";
}
