// A DLL named like a system library, planted in the program's own folder
// (first on the usual search path), must never run inside the VM.  Runs
// from a copy of the program in a folder that also holds the recording
// ncrypt.dll, with WINEDLLOVERRIDES preferring a native ncrypt.dll, so
// that a bare LoadLibraryW would take the planted one.
#include "cng_support.h"

class Planted : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        CNG_SUITE_PROCESS("planted");
    }
    static std::wstring Folder(HMODULE module) {
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
        std::wstring dir(path, n);
        size_t slash = dir.find_last_of(L"\\/");
        dir.resize(slash == std::wstring::npos ? 0 : slash);
        return dir;
    }
};

TEST_F(Planted, TheSystemLibraryIsUsedNotTheOneBesideTheProgram) {
    std::wstring planted = Folder(nullptr) + L"\\ncrypt.dll";
    ASSERT_NE(GetFileAttributesW(planted.c_str()), INVALID_FILE_ATTRIBUTES) << "no planted ncrypt.dll";
    ASSERT_EQ(GetModuleHandleW(L"ncrypt.dll"), nullptr) << "WINEDLLOVERRIDES=" << DllOverrides();

    jlongArray provider = LongCell(0);
    Java_Orvalith_Base_JNI_nCryptOpenStorageProvider(env, nullptr, provider, Str(u"p"), 0);
    HMODULE loaded = GetModuleHandleW(L"ncrypt.dll");
    ASSERT_NE(loaded, nullptr) << "the bridge loaded no ncrypt.dll; WINEDLLOVERRIDES=" << DllOverrides();
    DoubleLibrary double_library;
    EXPECT_FALSE(double_library.Attach(loaded)) << "the planted ncrypt.dll was loaded";
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(_wcsicmp(Folder(loaded).c_str(), system), 0);

    // A load and a release by someone else leave the bridge's library in
    // the process.
    HMODULE again = LoadLibraryW(L"ncrypt.dll");
    ASSERT_EQ(again, loaded);
    ASSERT_TRUE(FreeLibrary(again));
    EXPECT_EQ(GetModuleHandleW(L"ncrypt.dll"), loaded);
    Java_Orvalith_Base_JNI_nCryptIsKeyHandle(env, nullptr, 1);
}
