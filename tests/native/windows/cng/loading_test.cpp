// How the bridge comes by its libraries.  Runs in a process of its own with
// WINEDLLOVERRIDES naming ncrypt.dll and cryptui.dll native only, so that
// the system folder has none to give; the stand-ins turn up only where a
// test puts them.  The tests share the process's binding slots and run in
// order.
#include "cng_support.h"

class Loading : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        CNG_SUITE_PROCESS("loading");
    }
    void TearDown() override {
        SetDllDirectoryW(nullptr);
        WindowsTest::TearDown();
    }
};

// A DLL of the same name on the search path (here the DLL directory, as
// the application's folder or PATH would be) is never loaded: the bridge
// looks in the system folder only, and answers as if there were no CNG.
// Nothing of the failed look is kept: a library that turns up in the
// process later is bound on the next call.
TEST_F(Loading, OnlyTheSystemFolderOrTheProcessSuppliesALibrary) {
    ASSERT_EQ(GetModuleHandleW(L"ncrypt.dll"), nullptr) << "WINEDLLOVERRIDES=" << DllOverrides();
    ASSERT_TRUE(SetDllDirectoryW(DoublesDirectory().c_str()));
    jlongArray provider = LongCell(7);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, provider, Str(u"p"), 0), -1);
        EXPECT_FALSE(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, 1));
    }
    EXPECT_EQ(Cell(provider), 7);
    EXPECT_FALSE(EverWritten(vm, provider));
    EXPECT_EQ(GetModuleHandleW(L"ncrypt.dll"), nullptr) << "the bridge loaded a DLL from the search path";
    SetDllDirectoryW(nullptr);

    // Someone else loads the library by its path: from now on it is used.
    std::wstring path = DoublesDirectory() + L"\\ncrypt.dll";
    DoubleLibrary ncrypt;
    ASSERT_TRUE(ncrypt.Attach(LoadLibraryW(path.c_str()))) << "WINEDLLOVERRIDES=" << DllOverrides();
    EXPECT_EQ(Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, provider, Str(u"p"), 0),
              ERROR_SUCCESS);
    std::vector<RecordedCall> calls = ncrypt.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_STREQ(calls[0].function, "NCryptOpenStorageProvider");
    EXPECT_EQ(TextOf(calls[0], 1), u"p");

    // The bridge holds a reference of its own: the owner's release leaves
    // the library loaded, and slots bound into it keep working.
    ASSERT_TRUE(FreeLibrary(ncrypt.module));
    ASSERT_EQ(GetModuleHandleW(L"ncrypt.dll"), ncrypt.module) << "the bridge kept no reference";
    Script s{};
    s.result = TRUE;
    ncrypt.script(&s);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, 1));
}

// The same for a library that was in the process before the bridge's
// first call into it.
TEST_F(Loading, ALibraryAlreadyLoadedOutlivesItsOwnersRelease) {
    std::wstring path = DoublesDirectory() + L"\\cryptui.dll";
    DoubleLibrary cryptui;
    ASSERT_TRUE(cryptui.Attach(LoadLibraryW(path.c_str()))) << "WINEDLLOVERRIDES=" << DllOverrides();
    Script s{};
    s.result = TRUE;
    cryptui.script(&s);
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, 0, 0, nullptr, nullptr, 0));
    EXPECT_EQ(cryptui.count(), 1u);
    ASSERT_TRUE(FreeLibrary(cryptui.module));
    ASSERT_EQ(GetModuleHandleW(L"cryptui.dll"), cryptui.module) << "the bridge kept no reference";
    EXPECT_TRUE(Java_Orvalith_Base_JNI_cryptUIWizImport(env, nullptr, 0, 0, nullptr, nullptr, 0));
    EXPECT_EQ(cryptui.count(), 2u);
}
