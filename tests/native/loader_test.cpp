// Opening modules and building their tables, against the module variants.
#include "pkcs11/token_module.h"
#include "support.h"

#if defined(_WIN32)
#include <windows.h>
static bool StillLoaded(const std::string &path) {
    return GetModuleHandleA(path.substr(path.find_last_of('\\') + 1).c_str()) != nullptr;
}
#else
#include <dlfcn.h>
static bool StillLoaded(const std::string &path) {
    void *h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h != nullptr) dlclose(h);
    return h != nullptr;
}
#endif

class LoaderTest : public VmTest {};

TEST_F(LoaderTest, ModuleTableIsUsedWhenGetFunctionListSucceeds) {
    MockModule mock = LoadMock(env);
    ASSERT_NE(mock.handle, 0);
    TokenModule *module = ModuleFromHandle(mock.handle);
#if defined(_WIN32)
    EXPECT_EQ(module->table_owned, 1);  // always a copy in the packed layout
#else
    EXPECT_EQ(module->table_owned, 0);
    EXPECT_EQ(static_cast<const void *>(module->functions), mock.control->table());
#endif
    UnloadModule(env, mock.handle);
}

TEST_F(LoaderTest, TablesBuiltByName) {
    for (const char *variant : {"mockp11_gfl_error", "mockp11_no_gfl"}) {
        SCOPED_TRACE(variant);
        MockModule mock = LoadMock(env, variant);
        ASSERT_NE(mock.handle, 0);
        TokenModule *module = ModuleFromHandle(mock.handle);
        EXPECT_EQ(module->table_owned, 1);
        EXPECT_NE(reinterpret_cast<uintptr_t>(module->functions), MOCK_BOGUS_TABLE);
        // Every entry but C_GetFunctionList is filled.
        EXPECT_NE(module->functions->C_Initialize, nullptr);
        EXPECT_NE(module->functions->C_WaitForSlotEvent, nullptr);
        EXPECT_NE(module->functions->C_InitPIN, nullptr);
        UnloadModule(env, mock.handle);
    }
}

TEST_F(LoaderTest, FailedLoadsLeaveNothingOpen) {
    // No C_WaitForSlotEvent to resolve by name; a table list that answers
    // OK with no table.
    for (const char *variant : {"mockp11_no_wait", "mockp11_gfl_null"}) {
        SCOPED_TRACE(variant);
        std::string file = ModuleFile(variant);
        EXPECT_EQ(LoadModule(env, file), 0);
        EXPECT_FALSE(StillLoaded(file));
    }
    EXPECT_EQ(LoadModule(env, ModuleFile("no_such_module")), 0);
    UnloadModule(env, 0);  // does nothing
}

TEST_F(LoaderTest, EachLoadIsItsOwnHandle) {
    MockModule first = LoadMock(env);
    MockModule second = LoadMock(env);
    ASSERT_NE(first.handle, 0);
    EXPECT_NE(first.handle, second.handle);
    UnloadModule(env, first.handle);
    EXPECT_TRUE(StillLoaded(ModuleFile("mockp11")));  // the other handle keeps it
    UnloadModule(env, second.handle);
}
