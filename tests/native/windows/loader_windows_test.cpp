// The Windows loader: the bridge's packed copy of a module's table, taken
// from a packed table or from one with 4-byte slots, detected or told, and
// the by-name path that never calls C_GetFunctionList.
#include <string.h>

#include <string>

#include "pkcs11/token_module.h"
#include "support.h"
#include "token_natives.h"

namespace {

class WindowsLoaderTest : public VmTest {
protected:
    jlong Load(const char *variant, bool by_name, jint packing) {
        jstring name = env->NewStringUTF(ModuleFile(variant).c_str());
        jlong handle = Java_Orvalith_Base_JNI_loadExternalModule(env, nullptr, name,
                                                                 by_name ? JNI_TRUE : JNI_FALSE, packing);
        env->DeleteLocalRef(name);
        return handle;
    }
    const MockControl *Control(const char *variant) {
        // The first handle keeps the file loaded for the scripted calls.
        keeper = Load(variant, true, 0);
        const MockControl *control = ControlOf(ModuleFile(variant));
        if (control != nullptr) control->reset();
        return control;
    }
    void TearDown() override {
        UnloadModule(env, keeper);
        VmTest::TearDown();
    }
    // Calls through the copied table reach the entries they name.
    void ExpectRoutes(jlong handle, const MockControl *mock) {
        mock->reset();
        jlongArray count = fakejni::new_long_array(env, {0});
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, handle, JNI_TRUE, nullptr, count), CKR_OK);
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CloseSession(env, nullptr, handle, 9), CKR_OK);
        EXPECT_EQ(Java_Orvalith_Base_JNI_c_1WaitForSlotEvent(env, nullptr, handle, 0, count, 0), CKR_OK);
        ASSERT_EQ(mock->record_count(), 3);
        EXPECT_EQ(mock->record_entry(0), MOCK_C_GetSlotList);
        EXPECT_EQ(mock->record_entry(1), MOCK_C_CloseSession);
        EXPECT_EQ(mock->record_entry(2), MOCK_C_WaitForSlotEvent);
    }
    jlong keeper = 0;
};

TEST_F(WindowsLoaderTest, PackedTablesAreCopiedWhole) {
    const MockControl *mock = Control("mockp11_packed");
    ASSERT_NE(mock, nullptr);
    for (jint packing : {0, 1}) {
        SCOPED_TRACE(packing);
        jlong handle = Load("mockp11_packed", false, packing);
        ASSERT_NE(handle, 0);
        TokenModule *module = ModuleFromHandle(handle);
        EXPECT_EQ(module->table_owned, 1);
        EXPECT_NE(module->functions, mock->table());
        ExpectRoutes(handle, mock);
        UnloadModule(env, handle);
    }
}

// Also for a front module that hands out another module's table: its
// entries lie outside the image of the module that was loaded.
TEST_F(WindowsLoaderTest, FourByteSlotsMoveToThePackedLayout) {
    const MockControl *mock = Control("mockp11_slots4");
    ASSERT_NE(mock, nullptr);
    for (const char *variant : {"mockp11_slots4", "mockp11_forward"}) {
        for (jint packing : {0, 4, 8}) {
            SCOPED_TRACE(std::string(variant) + ", packing " + std::to_string(packing));
            jlong handle = Load(variant, false, packing);
            ASSERT_NE(handle, 0);
            TokenModule *module = ModuleFromHandle(handle);
            EXPECT_EQ(module->functions->version.major, 2);
            EXPECT_EQ(module->functions->C_GetFunctionList, nullptr);  // not copied
            ExpectRoutes(handle, mock);
            UnloadModule(env, handle);
        }
    }
}

// Packed tables whose third byte is zero, as padding would be: the low byte
// of a C_Initialize at a 256-byte boundary, or a null entry 0.  Left to
// detect, the loader must still take them as packed.
TEST_F(WindowsLoaderTest, PackedTablesWithAZeroThirdByteAreDetectedAsPacked) {
    struct Case {
        const char *variant;
        bool clear_entry0;
    } cases[] = {{"mockp11_init00", false}, {"mockp11_packed", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.variant);
        const MockControl *mock = Control(c.variant);
        ASSERT_NE(mock, nullptr);
        if (c.clear_entry0) mock->set_entry_null(MOCK_C_Initialize, 1);
        const unsigned char *theirs = static_cast<const unsigned char *>(mock->table());
        ASSERT_EQ(theirs[2], 0) << "the fixture must have a zero third byte";
        jlong handle = Load(c.variant, false, 0);
        ASSERT_NE(handle, 0);
        TokenModule *module = ModuleFromHandle(handle);
        EXPECT_EQ(memcmp(module->functions, theirs, sizeof(CK_FUNCTION_LIST)), 0);
        ExpectRoutes(handle, mock);
        mock->reset();
        jlong rv = Java_Orvalith_Base_JNI_c_1Initialize(env, nullptr, handle, nullptr);
        if (c.clear_entry0) {
            EXPECT_EQ(rv, static_cast<jlong>(CKR_NO_FUNCTION));
            EXPECT_EQ(mock->record_count(), 0);
        } else {
            EXPECT_EQ(rv, static_cast<jlong>(CKR_OK));
            ASSERT_EQ(mock->record_count(), 1);
            EXPECT_EQ(mock->record_entry(0), MOCK_C_Initialize);
        }
        UnloadModule(env, handle);
        UnloadModule(env, keeper);
        keeper = 0;
    }
}

TEST_F(WindowsLoaderTest, ByNameNeverCallsGetFunctionList) {
    const MockControl *mock = Control("mockp11_packed");
    ASSERT_NE(mock, nullptr);
    jlong handle = Load("mockp11_packed", true, 1);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(mock->record_last(MOCK_C_GetFunctionList, nullptr), -1);
    ExpectRoutes(handle, mock);
    UnloadModule(env, handle);
}

TEST_F(WindowsLoaderTest, DetectionRefusesZeroVersionBytes) {
    const MockControl *mock = Control("mockp11_packed");
    ASSERT_NE(mock, nullptr);
    for (auto version : {std::make_pair(2, 0), std::make_pair(0, 40)}) {
        mock->set_table_version(version.first, version.second);
        EXPECT_EQ(Load("mockp11_packed", false, 0), 0);
        // Told the packing, the loader copies without looking at the version.
        jlong told = Load("mockp11_packed", false, 1);
        EXPECT_NE(told, 0);
        UnloadModule(env, told);
    }
    mock->set_table_version(2, 40);
    // A packing the platform has no layout for.
    EXPECT_EQ(Load("mockp11_packed", false, 2), 0);
}

}  // namespace
