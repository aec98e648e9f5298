// JNI$Pointer natives against a VM that hands out copies of array elements,
// so that release modes are proven, not assumed.
#include <stdlib.h>
#include <string.h>

#include "pointer/registry.h"
#include "support.h"

#define POINTER(name) Java_Orvalith_Base_JNI_00024Pointer_##name
extern "C" {
jobject JNICALL POINTER(getInstance___3I)(JNIEnv *, jclass, jintArray);
jobject JNICALL POINTER(getInstance___3J)(JNIEnv *, jclass, jlongArray);
jobject JNICALL POINTER(getInstance___3B)(JNIEnv *, jclass, jbyteArray);
jobject JNICALL POINTER(getInstance___3BI)(JNIEnv *, jclass, jbyteArray, jint);
jobject JNICALL POINTER(getInstance__I)(JNIEnv *, jclass, jint);
jobject JNICALL POINTER(getInstance__Ljava_lang_String_2Z)(JNIEnv *, jclass, jstring, jboolean);
jbyte JNICALL POINTER(getPlatformSize)(JNIEnv *, jclass);
jbyte JNICALL POINTER(getPlatformLongIntSize)(JNIEnv *, jclass);
void JNICALL POINTER(addReference)(JNIEnv *, jobject);
void JNICALL POINTER(free)(JNIEnv *, jobject);
jbyteArray JNICALL POINTER(getContent)(JNIEnv *, jobject);
jstring JNICALL POINTER(getContentAsString)(JNIEnv *, jobject, jboolean);
void JNICALL POINTER(copy)(JNIEnv *, jclass, jbyteArray, jint, jobject, jint, jint);
jlongArray JNICALL POINTER(getNativeArrayAsLongs)(JNIEnv *, jobject);
}

class PointerTest : public VmTest {
protected:
    void SetUp() override {
        VmTest::SetUp();
        fakejni::set_copy_elements(vm, true);
        registered_at_start = RegistryCount();
    }
    void TearDown() override {
        EXPECT_EQ(RegistryCount(), registered_at_start);
        EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
        EXPECT_EQ(fakejni::global_refs(vm), 0u);  // pinned arrays' references went with them
        VmTest::TearDown();
    }
    void *P(jobject ptr) { return NarrowAddress(fakejni::long_field(vm, ptr, "p")); }
    jint Size(jobject ptr) { return fakejni::int_field(vm, ptr, "size"); }
    bool Released(jobject ptr) {
        jobject o = fakejni::object_field(env, ptr, "o");
        bool released = P(ptr) == nullptr && o == nullptr && Size(ptr) == -1;
#if defined(_WIN32)
        released = released && fakejni::bool_field(vm, ptr, "freed");
#endif
        env->DeleteLocalRef(o);
        return released;
    }
    size_t registered_at_start = 0;
};

TEST_F(PointerTest, ArrayBlocksHaveTheSizeOfTheirElements) {
    jobject ints = POINTER(getInstance___3I)(env, nullptr, fakejni::new_int_array(env, {1, 2, 3}));
    jobject longs = POINTER(getInstance___3J)(env, nullptr, fakejni::new_long_array(env, {1, 2, 3}));
    jobject none = POINTER(getInstance___3B)(env, nullptr, fakejni::new_byte_array(env, {}));
    EXPECT_EQ(Size(ints), 12);
    EXPECT_EQ(Size(longs), 24);
    EXPECT_EQ(Size(none), 0);
    for (jobject p : {ints, longs, none}) {
        EXPECT_TRUE(RegistryKnows(P(p)));
        POINTER(free)(env, p);
        EXPECT_TRUE(Released(p));
    }
}

TEST_F(PointerTest, WritesThroughAPinnedArrayReachItAtFree) {
    jintArray array = fakejni::new_int_array(env, {0, 0});
    jobject ptr = POINTER(getInstance___3I)(env, nullptr, array);
    static_cast<jint *>(P(ptr))[1] = 99;
    EXPECT_EQ(fakejni::int_elements(vm, array)[1], 0);  // a copy until then
    POINTER(free)(env, ptr);
    EXPECT_EQ(fakejni::int_elements(vm, array)[1], 99);
    EXPECT_EQ(fakejni::array_stats(vm, array).release_modes, std::vector<jint>{0});
}

TEST_F(PointerTest, OffsetBlockReleasesTheElementsItPinned) {
    jbyteArray array = fakejni::new_byte_array(env, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    jobject ptr = POINTER(getInstance___3BI)(env, nullptr, array, 2);
    EXPECT_EQ(Size(ptr), 8);
    void *elems = fakejni::array_stats(vm, array).buffers.at(0);
    EXPECT_EQ(P(ptr), static_cast<char *>(elems) + 2);
    static_cast<jbyte *>(P(ptr))[0] = 42;
    POINTER(free)(env, ptr);
    // The release got the buffer it was handed (no violation) with mode 0.
    EXPECT_EQ(fakejni::byte_elements(vm, array)[2], 42);

    for (jint bad : {-1, 11}) {
        EXPECT_EQ(POINTER(getInstance___3BI)(env, nullptr, array, bad), nullptr);
        TakeException("java/lang/ArrayIndexOutOfBoundsException");
    }
    EXPECT_EQ(fakejni::array_stats(vm, array).gets, 1);
}

// The Windows natives rewrite "size" with whatever length a platform call
// reported, shorter or longer than the block; Java code may set it too.
// Copying, reading and releasing still go by the block as it was made.
TEST_F(PointerTest, BlocksKeepTheirLengthWhateverSizeSays) {
    struct Case {
        const char *what;
        jobject ptr;
        jint length;
    };
    jbyteArray offset_array = fakejni::new_byte_array(env, {0, 1, 2, 3, 4, 5, 6, 7});
    std::vector<Case> cases = {
        {"byte[] at offset 3", POINTER(getInstance___3BI)(env, nullptr, offset_array, 3), 5},
        {"byte[]", POINTER(getInstance___3B)(env, nullptr, fakejni::new_byte_array(env, {0, 0, 0, 0, 0, 0})), 6},
        {"int[]", POINTER(getInstance___3I)(env, nullptr, fakejni::new_int_array(env, {1, 2})), 8},
        {"allocated", POINTER(getInstance__I)(env, nullptr, 7), 7},
    };
    jbyteArray src = fakejni::new_byte_array(env, {9, 9, 9, 9, 9, 9, 9, 9, 9});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (jint size : {1, 64}) {
            fakejni::set_int_field(vm, c.ptr, "size", size);
            // In the block, beyond "size": copied.
            POINTER(copy)(env, nullptr, src, 0, c.ptr, 0, c.length);
            EXPECT_FALSE(fakejni::pending_exception(env).present);
            // Beyond the block, within a grown "size": refused.
            POINTER(copy)(env, nullptr, src, 0, c.ptr, 1, c.length);
            TakeException("java/lang/ArrayIndexOutOfBoundsException");
            jbyteArray content = POINTER(getContent)(env, c.ptr);
            EXPECT_EQ(fakejni::byte_elements(vm, content).size(),
                      static_cast<size_t>(size < c.length ? size : c.length));
        }
        POINTER(free)(env, c.ptr);  // a wrong release address is a violation
        EXPECT_TRUE(Released(c.ptr));
    }
    EXPECT_EQ(fakejni::byte_elements(vm, offset_array),
              (std::vector<jbyte>{0, 1, 2, 9, 9, 9, 9, 9}));
}

TEST_F(PointerTest, AllocatedBlocksAndOutOfMemory) {
    jobject ptr = POINTER(getInstance__I)(env, nullptr, 16);
    EXPECT_EQ(Size(ptr), 16);
    jobject zero = POINTER(getInstance__I)(env, nullptr, 0);
    EXPECT_NE(P(zero), nullptr);
    EXPECT_EQ(POINTER(getInstance__I)(env, nullptr, -1), nullptr);
    EXPECT_EQ(TakeException(), "Out of memory");
    POINTER(free)(env, ptr);
    POINTER(free)(env, zero);
    EXPECT_TRUE(Released(ptr));
    POINTER(free)(env, ptr);  // released: nothing happens
}

TEST_F(PointerTest, StringBlocksInBothModes) {
    jobject wide = POINTER(getInstance__Ljava_lang_String_2Z)(env, nullptr, Str(u"AB"), JNI_TRUE);
    jobject ansi = POINTER(getInstance__Ljava_lang_String_2Z)(env, nullptr, Str(u"AB"), JNI_FALSE);
    EXPECT_EQ(Size(wide), 6);
    EXPECT_EQ(memcmp(P(wide), "A\0B\0\0\0", 6), 0);
    EXPECT_EQ(Size(ansi), 3);
    EXPECT_EQ(memcmp(P(ansi), "AB\0", 3), 0);
    EXPECT_EQ(fakejni::string_chars(vm, POINTER(getContentAsString)(env, wide, JNI_TRUE)), u"AB");
    EXPECT_EQ(fakejni::string_chars(vm, POINTER(getContentAsString)(env, ansi, JNI_FALSE)), u"AB");
    // Units after an embedded zero are not part of the block.
    std::u16string cut = u"A";
    cut.push_back(u'\0');
    cut += u"B";
    jobject early = POINTER(getInstance__Ljava_lang_String_2Z)(env, nullptr, Str(cut), JNI_TRUE);
    EXPECT_EQ(Size(early), 4);
    for (jboolean unicode : {JNI_TRUE, JNI_FALSE}) {
        jobject null_text = POINTER(getInstance__Ljava_lang_String_2Z)(env, nullptr, nullptr, unicode);
        EXPECT_EQ(P(null_text), nullptr);
        EXPECT_EQ(Size(null_text), 0);
        jstring s = POINTER(getContentAsString)(env, null_text, unicode);
#if defined(_WIN32)
        EXPECT_EQ(fakejni::string_chars(vm, s), u"");
#else
        EXPECT_EQ(s, nullptr);
#endif
    }
    for (jobject p : {wide, ansi, early}) POINTER(free)(env, p);
}

#if defined(_WIN32)
// The "freed" flag is the Windows Java side's; without it a free still
// releases the block and reports nothing.
TEST_F(PointerTest, FreeWorksWithoutTheFreedFlag) {
    jobject ptr = POINTER(getInstance__I)(env, nullptr, 8);
    fakejni::fail_get_field(vm, ORV_POINTER_CLASS, "freed");
    POINTER(free)(env, ptr);
    fakejni::reset_faults(vm);
    EXPECT_EQ(P(ptr), nullptr);
    EXPECT_EQ(Size(ptr), -1);
    EXPECT_FALSE(fakejni::bool_field(vm, ptr, "freed"));
}
#endif

TEST_F(PointerTest, SharedBlocksAreReleasedByTheLastFree) {
    jobject ptr = POINTER(getInstance__I)(env, nullptr, 8);
    void *block = P(ptr);
    POINTER(addReference)(env, ptr);
    POINTER(free)(env, ptr);
    EXPECT_EQ(P(ptr), block);
    EXPECT_EQ(Size(ptr), 8);
    EXPECT_TRUE(RegistryKnows(block));
    POINTER(free)(env, ptr);
    EXPECT_TRUE(Released(ptr));
    // A view of memory nobody registered is never released.
    char foreign[4];
    jobject view = NewPointer(foreign, 4);
    POINTER(addReference)(env, view);
    POINTER(free)(env, view);
    EXPECT_EQ(P(view), foreign);
}

TEST_F(PointerTest, FailedObjectCreationLeavesNothingBehind) {
    fakejni::fail_find_class(vm, ORV_POINTER_CLASS);
    jintArray ints = fakejni::new_int_array(env, {1});
    EXPECT_EQ(POINTER(getInstance___3I)(env, nullptr, ints), nullptr);
    EXPECT_EQ(TakeException(), "Class not found");
    EXPECT_EQ(POINTER(getInstance__I)(env, nullptr, 4), nullptr);
    EXPECT_EQ(TakeException(), "Class not found");
    EXPECT_EQ(POINTER(getInstance__Ljava_lang_String_2Z)(env, nullptr, Str(u"x"), JNI_TRUE), nullptr);
    EXPECT_EQ(TakeException(), "Class not found");
    fakejni::reset_faults(vm);
    // Registry and pins are checked by TearDown.
    EXPECT_EQ(fakejni::array_stats(vm, ints).outstanding, 0);
}

// When the VM cannot hand out a string's characters, the native stops with
// the VM's error pending: no block, no Pointer, no JNI call after the error.
TEST_F(PointerTest, StringBlockStopsWhenTheCharactersCannotBeHad) {
    for (jboolean unicode : {JNI_FALSE, JNI_TRUE}) {
        SCOPED_TRACE(unicode ? "UTF-16" : "modified UTF-8");
        jstring s = Str(u"abc");
        fakejni::fail_allocation(vm, fakejni::kAllocElements, 1);
        EXPECT_EQ(POINTER(getInstance__Ljava_lang_String_2Z)(env, nullptr, s, unicode), nullptr);
        fakejni::reset_faults(vm);
        EXPECT_EQ(fakejni::violations(vm), std::vector<std::string>{});
        TakeException("java/lang/OutOfMemoryError");
        env->DeleteLocalRef(s);
    }
}

TEST_F(PointerTest, ContentCopies) {
    jobject ptr = POINTER(getInstance__I)(env, nullptr, 4);
    memcpy(P(ptr), "\x01\x02\x03\x04", 4);
    jbyteArray content = POINTER(getContent)(env, ptr);
    EXPECT_EQ(fakejni::byte_elements(vm, content), (std::vector<jbyte>{1, 2, 3, 4}));
    POINTER(free)(env, ptr);
    // A Pointer with no block but a size reads nothing.
    EXPECT_EQ(POINTER(getContent)(env, NewPointer(nullptr, 16)), nullptr);
}

TEST_F(PointerTest, CopyStaysInsideBothRanges) {
    jbyteArray src = fakejni::new_byte_array(env, {1, 2, 3, 4});
    jobject ptr = POINTER(getInstance__I)(env, nullptr, 4);
    memset(P(ptr), 0, 4);
    POINTER(copy)(env, nullptr, src, 1, ptr, 1, 3);
    EXPECT_EQ(memcmp(P(ptr), "\x00\x02\x03\x04", 4), 0);
    struct Case {
        jint so, dofs, n;
        jobject dst;
    } bad[] = {
        {-1, 0, 1, ptr}, {0, -1, 1, ptr}, {0, 0, -1, ptr},  // negative
        {2, 0, 3, ptr},                                       // past the source
        {0, 2, 3, ptr},                                       // past the block
        {0, 0, 1, NewPointer(nullptr, 8)},                    // no block
    };
    for (const Case &c : bad) {
        memset(P(ptr), 0x55, 4);
        POINTER(copy)(env, nullptr, src, c.so, c.dst, c.dofs, c.n);
        TakeException("java/lang/ArrayIndexOutOfBoundsException");
        EXPECT_EQ(memcmp(P(ptr), "\x55\x55\x55\x55", 4), 0);
    }
    // Memory the library did not make is trusted beyond its stated size.
    char foreign[8] = {0};
    POINTER(copy)(env, nullptr, src, 0, NewPointer(foreign, 2), 4, 4);
    EXPECT_EQ(memcmp(foreign + 4, "\x01\x02\x03\x04", 4), 0);
    POINTER(free)(env, ptr);
    EXPECT_EQ(fakejni::array_stats(vm, src).gets, 0);  // never pinned
}

TEST_F(PointerTest, NativeLongsAreSignedAtThePlatformWidth) {
    long values[2] = {1, static_cast<long>(0xFFFFFFFFUL)};
    jobject ptr = NewPointer(values, sizeof values);
    jlongArray longs = POINTER(getNativeArrayAsLongs)(env, ptr);
    std::vector<jlong> expected = sizeof(long) == 4 ? std::vector<jlong>{1, -1}
                                                    : std::vector<jlong>{1, 4294967295LL};
    EXPECT_EQ(fakejni::long_elements(vm, longs), expected);
    // A size that is no multiple of the width is rounded down; a released
    // Pointer (size -1) gives an empty array.
    jobject odd = NewPointer(values, static_cast<jint>(sizeof(long)) + 3);
    EXPECT_EQ(fakejni::long_elements(vm, POINTER(getNativeArrayAsLongs)(env, odd)).size(), 1u);
    jobject released = NewPointer(nullptr, -1);
    EXPECT_EQ(fakejni::long_elements(vm, POINTER(getNativeArrayAsLongs)(env, released)).size(), 0u);
    EXPECT_EQ(POINTER(getPlatformSize)(env, nullptr), static_cast<jbyte>(sizeof(void *)));
    EXPECT_EQ(POINTER(getPlatformLongIntSize)(env, nullptr), static_cast<jbyte>(sizeof(long)));
}

// A block pinned at an odd offset of a byte[] is not aligned for a native
// long; reading it as longs must not make misaligned loads (UBSan reports
// them; MIPS32 traps on them).
TEST_F(PointerTest, NativeLongsOfAnUnalignedBlock) {
    std::vector<jbyte> bytes(1 + 2 * sizeof(long), 0);
    bytes[1] = 7;  // the first long's low byte (little-endian targets)
    jbyteArray array = fakejni::new_byte_array(env, bytes);
    for (bool copies : {true, false}) {
        SCOPED_TRACE(copies ? "elements copied" : "elements in place");
        fakejni::set_copy_elements(vm, copies);
        jobject ptr = POINTER(getInstance___3BI)(env, nullptr, array, 1);
        ASSERT_NE(ptr, nullptr);
        jlongArray longs = POINTER(getNativeArrayAsLongs)(env, ptr);
        EXPECT_EQ(fakejni::long_elements(vm, longs), (std::vector<jlong>{7, 0}));
        POINTER(free)(env, ptr);
        env->DeleteLocalRef(longs);
        env->DeleteLocalRef(ptr);
    }
}

// The same block read as UTF-16 text: its units are not aligned either,
// and the text ends at a zero unit or at the block's end.
TEST_F(PointerTest, UnicodeTextOfAnUnalignedBlock) {
    struct Case {
        const char *name;
        std::vector<jbyte> bytes;  // from offset 1 on: little-endian units
        std::u16string text;
    } cases[] = {
        {"terminated", {'x', 'A', 0, 'B', 0, 0, 0, 'C', 0}, u"AB"},
        {"no terminator inside the block", {'x', 'A', 0, 'B', 0, 'C'}, u"AB"},
        {"empty", {'x', 0, 0}, u""},
    };
    for (const Case &c : cases) {
        for (bool copies : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (copies ? ", elements copied" : ", elements in place"));
            fakejni::set_copy_elements(vm, copies);
            jbyteArray array = fakejni::new_byte_array(env, c.bytes);
            jobject ptr = POINTER(getInstance___3BI)(env, nullptr, array, 1);
            ASSERT_NE(ptr, nullptr);
            jstring s = POINTER(getContentAsString)(env, ptr, JNI_TRUE);
            EXPECT_EQ(fakejni::string_chars(vm, s), c.text);
            POINTER(free)(env, ptr);
            env->DeleteLocalRef(s);
            env->DeleteLocalRef(ptr);
            env->DeleteLocalRef(array);
        }
    }
}

TEST_F(PointerTest, AddressesWidenWithSign) {
    // The 32-bit builds hand Java the address as a signed 32-bit value.
    void *high = reinterpret_cast<void *>(static_cast<uintptr_t>(0x80000010u));
    jlong widened = WidenAddress(high);
    if (sizeof(void *) == 4)
        EXPECT_EQ(widened, static_cast<jlong>(static_cast<int32_t>(0x80000010u)));
    else
        EXPECT_EQ(widened, 0x80000010LL);
    EXPECT_EQ(NarrowAddress(widened), high);
}

// Several Pointers may stand for one block (the (p, o, size) constructor,
// addReference).  Whichever frees it last, with whatever "o" it carries,
// the block goes back as it was made: pinned elements to the VM with mode
// 0 (never to the C library's free), a heap block to free (never to a
// Release...ArrayElements of some array).
TEST_F(PointerTest, TheLastFreeReleasesAsRegisteredWhateverTheAliasCarries) {
    jintArray foreign = fakejni::new_int_array(env, {5, 6});
    struct Case {
        const char *what;
        jarray array;  // the pinned array; null for a heap block
        jobject owner;
        jobject alias_o;
    };
    jbyteArray bytes = fakejni::new_byte_array(env, {0, 0, 0, 0});
    jbyteArray offset_bytes = fakejni::new_byte_array(env, {0, 0, 0, 0, 0, 0});
    jintArray ints = fakejni::new_int_array(env, {0, 0});
    jlongArray longs = fakejni::new_long_array(env, {0});
    std::vector<Case> cases = {
        {"byte[] alias without o", bytes, POINTER(getInstance___3B)(env, nullptr, bytes), nullptr},
        {"byte[] at offset 2, alias without o", offset_bytes,
         POINTER(getInstance___3BI)(env, nullptr, offset_bytes, 2), nullptr},
        {"int[] alias without o", ints, POINTER(getInstance___3I)(env, nullptr, ints), nullptr},
        {"long[] alias without o", longs, POINTER(getInstance___3J)(env, nullptr, longs), nullptr},
        {"int[] alias with another int[]", ints, POINTER(getInstance___3I)(env, nullptr, ints), foreign},
        {"heap block alias with an int[]", nullptr, POINTER(getInstance__I)(env, nullptr, 8), foreign},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        jobject alias = NewPointer(P(c.owner), Size(c.owner), c.alias_o);
        POINTER(addReference)(env, alias);
        POINTER(free)(env, c.owner);
        EXPECT_FALSE(Released(c.owner));
        memset(P(alias), 0x7F, 4);  // through the alias, after the owner let go
        POINTER(free)(env, alias);
        EXPECT_TRUE(Released(alias));
        if (c.array != nullptr) {
            std::vector<jint> modes = fakejni::array_stats(vm, c.array).release_modes;
            EXPECT_TRUE(!modes.empty() && modes.back() == 0);
        }
    }
    // Every pin went back (TearDown checks the VM as a whole).
    for (jarray a : std::vector<jarray>{bytes, offset_bytes, ints, longs})
        EXPECT_EQ(fakejni::array_stats(vm, a).outstanding, 0);
    EXPECT_EQ(fakejni::byte_elements(vm, bytes), (std::vector<jbyte>{0x7F, 0x7F, 0x7F, 0x7F}));
    EXPECT_EQ(fakejni::byte_elements(vm, offset_bytes), (std::vector<jbyte>{0, 0, 0x7F, 0x7F, 0x7F, 0x7F}));
    EXPECT_EQ(fakejni::int_elements(vm, ints)[0], 0x7F7F7F7F);
    EXPECT_EQ(fakejni::long_elements(vm, longs)[0] & 0xFFFFFFFF, 0x7F7F7F7F);
    // The array an alias merely named was never touched.
    EXPECT_EQ(fakejni::array_stats(vm, foreign).gets, 0);
    EXPECT_TRUE(fakejni::array_stats(vm, foreign).release_modes.empty());
    EXPECT_EQ(fakejni::int_elements(vm, foreign), (std::vector<jint>{5, 6}));
}

// A VM may hand out one address for the elements of every empty array.
// Each getInstance of an empty array is still a block of its own: freeing
// one leaves the others registered, and each free releases its own.
TEST_F(PointerTest, EmptyArraysNeverShareABlock) {
    for (bool copies : {true, false}) {
        SCOPED_TRACE(copies ? "VM copies elements" : "VM pins in place");
        fakejni::set_copy_elements(vm, copies);
        fakejni::set_shared_empty_elements(vm, true);
        jbyteArray empty_bytes = fakejni::new_byte_array(env, {});
        std::vector<jobject> ptrs = {
            POINTER(getInstance___3B)(env, nullptr, empty_bytes),
            POINTER(getInstance___3I)(env, nullptr, fakejni::new_int_array(env, {})),
            POINTER(getInstance___3J)(env, nullptr, fakejni::new_long_array(env, {})),
            POINTER(getInstance___3BI)(env, nullptr, fakejni::new_byte_array(env, {}), 0),
            POINTER(getInstance___3B)(env, nullptr, empty_bytes),
        };
        for (size_t i = 0; i < ptrs.size(); i++) {
            EXPECT_EQ(Size(ptrs[i]), 0);
            EXPECT_NE(P(ptrs[i]), nullptr);
            for (size_t j = 0; j < i; j++) EXPECT_NE(P(ptrs[i]), P(ptrs[j])) << i << " and " << j;
        }
        jobject o = fakejni::object_field(env, ptrs[0], "o");
        EXPECT_EQ(fakejni::identity(vm, o), fakejni::identity(vm, empty_bytes));
        env->DeleteLocalRef(o);
        for (size_t i = 0; i < ptrs.size(); i++) {
            POINTER(free)(env, ptrs[i]);
            EXPECT_TRUE(Released(ptrs[i]));
            for (size_t j = i + 1; j < ptrs.size(); j++) EXPECT_TRUE(RegistryKnows(P(ptrs[j])));
        }
        EXPECT_EQ(fakejni::array_stats(vm, empty_bytes).outstanding, 0);
    }
}

// A registered block holding text without a terminator is read to its end
// and no further; an address nobody registered is still read to its NUL.
TEST_F(PointerTest, TextIsReadWithinTheBlock) {
    struct Case {
        const char *what;
        jobject ptr;
        std::vector<char> bytes;  // written into the block
        jboolean unicode;
        std::u16string text;
    };
    jbyteArray label = fakejni::new_byte_array(env, {0, 0, 0, 0, 0, 0, 0, 0});
    std::vector<Case> cases = {
        {"heap, no NUL", POINTER(getInstance__I)(env, nullptr, 4), {'T', 'o', 'k', ' '}, JNI_FALSE, u"Tok "},
        {"heap, NUL inside", POINTER(getInstance__I)(env, nullptr, 4), {'A', 0, 'B', 'C'}, JNI_FALSE, u"A"},
        {"heap, no zero unit", POINTER(getInstance__I)(env, nullptr, 4), {'A', 0, 'B', 0}, JNI_TRUE, u"AB"},
        {"heap, odd length", POINTER(getInstance__I)(env, nullptr, 5), {'A', 0, 'B', 0, 'C'}, JNI_TRUE, u"AB"},
        {"byte[] at offset 6, no NUL", POINTER(getInstance___3BI)(env, nullptr, label, 6), {'x', 'y'}, JNI_FALSE,
         u"xy"},
        {"empty byte[]", POINTER(getInstance___3B)(env, nullptr, fakejni::new_byte_array(env, {})), {}, JNI_FALSE,
         u""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.bytes.empty()) memcpy(P(c.ptr), c.bytes.data(), c.bytes.size());
        EXPECT_EQ(fakejni::string_chars(vm, POINTER(getContentAsString)(env, c.ptr, c.unicode)), c.text);
        POINTER(free)(env, c.ptr);
    }
    char view_text[] = "view";
    jchar view_units[] = {'v', 0};
    EXPECT_EQ(fakejni::string_chars(vm, POINTER(getContentAsString)(env, NewPointer(view_text, 1), JNI_FALSE)),
              u"view");
    EXPECT_EQ(fakejni::string_chars(vm, POINTER(getContentAsString)(env, NewPointer(view_units, 0), JNI_TRUE)),
              u"v");
}

// "size" is a Java int: an int[] of 2^29 or a long[] of 2^28 elements is
// longer than it can say, and is refused before anything is pinned.
TEST_F(PointerTest, ArraysTooLongForSizeAreOutOfMemory) {
    jintArray ints = fakejni::new_int_array(env, {1});
    jlongArray longs = fakejni::new_long_array(env, {1});
    struct Case {
        jarray array;
        jsize length;
        jobject (*get)(JNIEnv *, jarray);
        jint size;  // 0: refused
    } cases[] = {
        {ints, 1 << 29, [](JNIEnv *e, jarray a) { return POINTER(getInstance___3I)(e, nullptr, (jintArray)a); }, 0},
        {ints, INT32_MAX, [](JNIEnv *e, jarray a) { return POINTER(getInstance___3I)(e, nullptr, (jintArray)a); }, 0},
        {longs, 1 << 28, [](JNIEnv *e, jarray a) { return POINTER(getInstance___3J)(e, nullptr, (jlongArray)a); },
         0},
        {longs, (1 << 28) - 1,
         [](JNIEnv *e, jarray a) { return POINTER(getInstance___3J)(e, nullptr, (jlongArray)a); }, INT32_MAX - 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        fakejni::set_reported_length(vm, c.array, c.length);
        jobject ptr = c.get(env, c.array);
        fakejni::set_reported_length(vm, c.array, -1);
        if (c.size == 0) {
            EXPECT_EQ(ptr, nullptr);
            EXPECT_EQ(TakeException(), "Out of memory");
        } else {
            EXPECT_EQ(Size(ptr), c.size);  // never read: the VM's copy is one element
            POINTER(free)(env, ptr);
        }
    }
    EXPECT_EQ(fakejni::array_stats(vm, ints).gets, 0);
}

// An accessor that raised ends the native: the exception stays pending, no
// JNI call follows it (the stand-in VM records any as a violation), and
// nothing changes.
TEST_F(PointerTest, AMissingFieldEndsTheNative) {
    fakejni::define_class(vm, "test/NoSize", "java/lang/Object", {{"p", "J"}, {"o", "Ljava/lang/Object;"}});
    fakejni::define_class(vm, "test/NoArray", "java/lang/Object", {{"p", "J"}, {"size", "I"}});
    jobject block = POINTER(getInstance__I)(env, nullptr, 16);
    jobject no_size = fakejni::new_object(env, "test/NoSize");
    fakejni::set_long_field(vm, no_size, "p", WidenAddress(P(block)));
    jobject no_array = fakejni::new_object(env, "test/NoArray");
    fakejni::set_long_field(vm, no_array, "p", WidenAddress(P(block)));
    fakejni::set_int_field(vm, no_array, "size", 16);

    EXPECT_EQ(POINTER(getContent)(env, no_size), nullptr);
    EXPECT_EQ(TakeException(), "Can't find size field in class.");
    EXPECT_EQ(POINTER(getNativeArrayAsLongs)(env, no_size), nullptr);
    EXPECT_EQ(TakeException(), "Can't find size field in class.");
    POINTER(free)(env, no_array);
    EXPECT_EQ(TakeException(), "Can't find o field in class.");
    EXPECT_TRUE(RegistryKnows(P(block)));  // no reference was dropped
    EXPECT_EQ(fakejni::long_field(vm, no_array, "p"), WidenAddress(P(block)));
    EXPECT_EQ(fakejni::violations(vm), std::vector<std::string>{});
    POINTER(free)(env, block);
    EXPECT_TRUE(Released(block));
}

// A VM that pins in place gives the same elements to two getInstance of
// one array: one registered block with two references, and the second pin
// goes back at once, so the block's last free leaves nothing pinned.
TEST_F(PointerTest, TwoPinsOfOneArrayInPlaceAreOneBlock) {
    fakejni::set_copy_elements(vm, false);
    jintArray ints = fakejni::new_int_array(env, {1, 2});
    jobject first = POINTER(getInstance___3I)(env, nullptr, ints);
    jobject second = POINTER(getInstance___3I)(env, nullptr, ints);
    EXPECT_EQ(P(first), P(second));
    EXPECT_EQ(RegistryCount(), registered_at_start + 1);
    EXPECT_EQ(fakejni::array_stats(vm, ints).outstanding, 1);
    static_cast<jint *>(P(second))[1] = 42;
    POINTER(free)(env, first);
    EXPECT_FALSE(Released(first));
    POINTER(free)(env, second);
    EXPECT_TRUE(Released(second));
    EXPECT_EQ(fakejni::array_stats(vm, ints).outstanding, 0);
    EXPECT_EQ(fakejni::int_elements(vm, ints), (std::vector<jint>{1, 42}));
}

// As static methods of JNI$Pointer, the getInstance natives get that class
// from the VM and make their objects of it; the class reference stays the
// caller's (not deleted), and the look-up by name is only the fallback.
TEST_F(PointerTest, GetInstanceMakesItsObjectOfTheClassItWasGiven) {
    jclass pointer_class = env->FindClass("Orvalith/Base/JNI$Pointer");
    ASSERT_NE(pointer_class, nullptr);
    size_t locals = fakejni::local_refs(env);
    jobject sized = POINTER(getInstance__I)(env, pointer_class, 16);
    jobject ints = POINTER(getInstance___3I)(env, pointer_class, fakejni::new_int_array(env, {1, 2}));
    jobject text = POINTER(getInstance__Ljava_lang_String_2Z)(env, pointer_class, Str(u"abc"), JNI_FALSE);
    for (jobject p : {sized, ints, text}) {
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(env->IsInstanceOf(p, pointer_class));
    }
    EXPECT_EQ(Size(sized), 16);
    EXPECT_EQ(Size(text), 4);
    // The class is still a live reference: a fourth object from it works.
    jobject again = POINTER(getInstance__I)(env, pointer_class, 1);
    ASSERT_NE(again, nullptr);
    for (jobject p : {sized, ints, text, again}) POINTER(free)(env, p);
    // Three Pointers, the int[] and its string, and the last Pointer: the
    // natives hold no reference of their own beyond what they return.
    EXPECT_EQ(fakejni::local_refs(env), locals + 6);
    env->DeleteLocalRef(pointer_class);
}
