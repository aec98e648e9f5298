// The system natives: last error, version record, GUIDs, registry keys.
#include <string.h>

#include "windows_support.h"

static const ULONG_PTR kLocalMachine = 0x80000002;  // a root key: bit 31 set

// High half all ones exactly when bit 31 is set: sign extension.
static bool SignExtended(jlong value) {
    return (value >> 32) == ((value & 0x80000000LL) ? -1 : 0);
}

TEST_F(WindowsTest, LastErrorComesBackBitForBit) {
    struct Case {
        DWORD code;
    } cases[] = {{0}, {ERROR_FILE_NOT_FOUND}, {0x7FFFFFFF}, {0x80000000}, {0x80090008}, {0xFFFFFFFF}};
    for (const Case &c : cases) {
        SetLastError(c.code);
        jint got = Java_Orvalith_Base_JNI_getLastError(env, nullptr);
        EXPECT_EQ(static_cast<DWORD>(got), c.code);
        EXPECT_EQ(got < 0, c.code >= 0x80000000u);
    }
}

TEST_F(WindowsTest, VersionRecordOfEitherSize) {
    struct Case {
        DWORD size;
        bool accepted;
    } cases[] = {{sizeof(OSVERSIONINFOW), true}, {sizeof(OSVERSIONINFOEXW), true}, {100, false}};
    static_assert(sizeof(OSVERSIONINFOW) == 276 && sizeof(OSVERSIONINFOEXW) == 284, "record sizes");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        unsigned char block[300];
        memset(block, 0xAA, sizeof block);
        memcpy(block, &c.size, sizeof c.size);
        jobject info = Pointer(block, sizeof block);
        ASSERT_EQ(Java_Orvalith_Base_JNI_getVersionEx(env, nullptr, info), c.accepted ? JNI_TRUE : JNI_FALSE);
        // The Pointer is only read.
        EXPECT_EQ(Size(info), static_cast<jint>(sizeof block));
        EXPECT_EQ(P(info), WidenAddress(block));
        if (!c.accepted) continue;
        OSVERSIONINFOEXW record;
        memcpy(&record, block, sizeof record);
        EXPECT_GE(record.dwMajorVersion, 5u);
        EXPECT_EQ(record.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
        if (c.size == sizeof(OSVERSIONINFOEXW)) {
            EXPECT_GE(record.wProductType, VER_NT_WORKSTATION);  // the extended part is filled
        }
        for (size_t i = c.size; i < sizeof block; i++) EXPECT_EQ(block[i], 0xAA) << "byte " << i;
    }
}

TEST_F(WindowsTest, TwoGuidsDiffer) {
    unsigned char guids[2][16];
    memset(guids, 0, sizeof guids);
    for (auto &guid : guids) {
        jobject block = Pointer(guid, 16);
        EXPECT_EQ(Java_Orvalith_Base_JNI_coCreateGuid(env, nullptr, block), 0);
        EXPECT_EQ(Size(block), 16);
    }
    EXPECT_NE(memcmp(guids[0], guids[1], 16), 0);
    static const unsigned char zero[16] = {};
    EXPECT_NE(memcmp(guids[0], zero, 16), 0);
}

TEST_F(WindowsTest, RootKeyPassedPositiveOrSignExtended) {
    struct Case {
        const char *what;
        jlong root;
    } cases[] = {
        {"positive", WithHighBits(kLocalMachine, 0)},
        {"sign-extended", WithHighBits(kLocalMachine, 0xFFFFFFFF)},
        {"other high bits", WithHighBits(kLocalMachine, 0x12345678)},
    };
    DWORD subkeys[3] = {};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(cases[i].what);
        jlongArray cell = LongCell(0);
        ASSERT_EQ(Java_Orvalith_Base_JNI_regOpenKeyEx(env, nullptr, cases[i].root, Str(u"Software"), 0,
                                                      Jint(KEY_READ), cell),
                  ERROR_SUCCESS);
        jlong key = Cell(cell);
        EXPECT_NE(key, 0);
        EXPECT_TRUE(SignExtended(key)) << std::hex << key;
        // The same key each time: it has the same subkeys.
        EXPECT_EQ(RegQueryInfoKeyW(reinterpret_cast<HKEY>(static_cast<uintptr_t>(key)), nullptr, nullptr,
                                   nullptr, &subkeys[i], nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(Java_Orvalith_Base_JNI_regCloseKey(env, nullptr, WithHighBits(key, 0xABABABAB)),
                  ERROR_SUCCESS);
    }
    EXPECT_GT(subkeys[0], 0u);
    EXPECT_EQ(subkeys[1], subkeys[0]);
    EXPECT_EQ(subkeys[2], subkeys[0]);
}

TEST_F(WindowsTest, NullSubKeyOpensTheRootAgain) {
    jlongArray cell = LongCell(0);
    ASSERT_EQ(Java_Orvalith_Base_JNI_regOpenKeyEx(env, nullptr, WithHighBits(kLocalMachine, 0xFFFFFFFF),
                                                  nullptr, 0, Jint(KEY_READ), cell),
              ERROR_SUCCESS);
    jlong key = Cell(cell);
    EXPECT_NE(key, 0);
    EXPECT_TRUE(SignExtended(key)) << std::hex << key;
    EXPECT_EQ(Java_Orvalith_Base_JNI_regCloseKey(env, nullptr, key), ERROR_SUCCESS);
}

TEST_F(WindowsTest, FailedOpenWritesTheCellBackSignExtended) {
    // Preset with bit 31 and a zero high half: whatever the platform leaves
    // in the key comes back sign-extended.
    jlongArray cell = LongCell(WithHighBits(0x80000005, 0));
    EXPECT_EQ(Java_Orvalith_Base_JNI_regOpenKeyEx(env, nullptr, kLocalMachine, Str(u"Software\\No\\Such\\Key"),
                                                  0, Jint(KEY_READ), cell),
              ERROR_FILE_NOT_FOUND);
    jlong after = Cell(cell);
    EXPECT_TRUE(after == 0 || after == WithHighBits(0x80000005, 0xFFFFFFFF)) << std::hex << after;
}

TEST_F(WindowsTest, ClosingAKeyNeverOpenedAnswersTheStatus) {
    EXPECT_EQ(Java_Orvalith_Base_JNI_regCloseKey(env, nullptr, 0x12345678), ERROR_INVALID_HANDLE);
}
