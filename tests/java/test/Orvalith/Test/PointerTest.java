package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.function.Supplier;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/** JNI$Pointer natives: blocks of the bridge's heap and pinned Java arrays. */
class PointerTest {
    static void assertReleased(Pointer ptr) {
        assertEquals(0, ptr.p, "p of a released Pointer");
        assertNull(ptr.o, "o of a released Pointer");
        assertEquals(-1, ptr.size, "size of a released Pointer");
    }

    static byte[] nativeInts(int... values) {
        ByteBuffer b = ByteBuffer.allocate(4 * values.length).order(ByteOrder.nativeOrder());
        for (int v : values) {
            b.putInt(v);
        }
        return b.array();
    }

    static byte[] nativeLongs(long... values) {
        ByteBuffer b = ByteBuffer.allocate(8 * values.length).order(ByteOrder.nativeOrder());
        for (long v : values) {
            b.putLong(v);
        }
        return b.array();
    }

    @Test
    void platformSizesAreThoseOfThisBuild() {
        assertEquals(Native.nativePointerSize(), JNI.Pointer.getPlatformSize());
        assertEquals(Native.nativeLongSize(), JNI.Pointer.getPlatformLongIntSize());
    }

    // Pinned arrays.

    @Test
    void arrayBlocksSpanTheWholeArray() {
        int[] ints = new int[3];
        long[] longs = new long[3];
        byte[] none = new byte[0];
        byte[] bytes = new byte[10];
        Object[][] cases = {{Pointer.getInstance(ints), ints, 12}, {Pointer.getInstance(longs), longs, 24},
            {Pointer.getInstance(none), none, 0}, {Pointer.getInstance(bytes), bytes, 10}};
        for (Object[] c : cases) {
            Pointer ptr = (Pointer) c[0];
            assertSame(c[1], ptr.o);
            assertEquals(c[2], ptr.size, ptr.toString());
            if (ptr.size > 0) {
                assertNotEquals(0, ptr.p);
            }
            ptr.free();
            assertReleased(ptr);
        }
    }

    @Test
    void theBlockHoldsTheArraysElements() {
        byte[] bytes = {9, 8, 7, 6};
        int[] ints = {0x01020304, -1};
        long[] longs = {Long.MIN_VALUE};
        Pointer b = Pointer.getInstance(bytes);
        Pointer i = Pointer.getInstance(ints);
        Pointer l = Pointer.getInstance(longs);
        assertArrayEquals(bytes, Native.peek(b.p, 4));
        assertArrayEquals(nativeInts(ints), Native.peek(i.p, 8));
        assertArrayEquals(nativeLongs(longs), Native.peek(l.p, 8));
        assertArrayEquals(bytes, b.getContent());
        b.free();
        i.free();
        l.free();
    }

    @Test
    void writesIntoAPinnedBlockReachTheArrayAtFree() {
        int[] ints = new int[2];
        long[] longs = new long[2];
        byte[] bytes = new byte[3];
        Pointer i = Pointer.getInstance(ints);
        Pointer l = Pointer.getInstance(longs);
        Pointer b = Pointer.getInstance(bytes);
        Native.poke(i.p, nativeInts(0x11223344, -5));
        Native.poke(l.p, nativeLongs(-6, 0x0102030405060708L));
        Native.poke(b.p, new byte[] {1, 2, 3});
        i.free();
        l.free();
        b.free();
        assertArrayEquals(new int[] {0x11223344, -5}, ints);
        assertArrayEquals(new long[] {-6, 0x0102030405060708L}, longs);
        assertArrayEquals(new byte[] {1, 2, 3}, bytes);
    }

    @Test
    void anOffsetBlockStartsInsideTheArrayAndIsReleasedWhole() {
        byte[] bytes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        Pointer ptr = Pointer.getInstance(bytes, 2);
        assertEquals(8, ptr.size);
        assertSame(bytes, ptr.o);
        assertArrayEquals(new byte[] {2, 3, 4, 5, 6, 7, 8, 9}, Native.peek(ptr.p, 8), "two bytes past the start");
        Native.poke(ptr.p, new byte[] {-2});
        // The elements go back from where they began, not from p; the
        // checker rejects any other address.
        ptr.free();
        assertReleased(ptr);
        assertEquals(-2, bytes[2]);
        assertEquals(0, bytes[0]);
    }

    // Natives that report an output length rewrite "size", shorter or
    // longer than the block; the block is still copied into, read and
    // released as it was made.
    @ParameterizedTest
    @ValueSource(ints = {2, 64})
    void aRewrittenSizeChangesNothingOfTheBlock(int size) {
        byte[] bytes = new byte[10];
        Pointer ptr = Pointer.getInstance(bytes, 4);
        ptr.size = size;
        Pointer.copy(new byte[] {1, 2, 3, 4, 5, 6}, 0, ptr, 0, 6);
        assertThrows(ArrayIndexOutOfBoundsException.class,
                () -> Pointer.copy(new byte[7], 0, ptr, 0, 7));
        assertEquals(Math.min(size, 6), ptr.getContent().length);
        ptr.free();
        assertReleased(ptr);
        assertArrayEquals(new byte[] {0, 0, 0, 0, 1, 2, 3, 4, 5, 6}, bytes);
    }

    @ParameterizedTest
    @ValueSource(ints = {0, 10})
    void offsetsAtTheEndsAreAccepted(int offset) {
        byte[] bytes = new byte[10];
        Pointer ptr = Pointer.getInstance(bytes, offset);
        assertEquals(10 - offset, ptr.size);
        ptr.free();
        assertReleased(ptr);
    }

    @ParameterizedTest
    @ValueSource(ints = {-1, 11, Integer.MIN_VALUE, Integer.MAX_VALUE})
    void anOffsetOutsideTheArrayIsRejected(int offset) {
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> Pointer.getInstance(new byte[10], offset));
    }

    // Heap blocks.

    @Test
    void aHeapBlockOfTheAskedSize() {
        Pointer ptr = Pointer.getInstance(16);
        assertNotEquals(0, ptr.p);
        assertNull(ptr.o);
        assertEquals(16, ptr.size);
        Native.poke(ptr.p, new byte[] {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
        assertArrayEquals(new byte[] {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, ptr.getContent());
        ptr.free();
        assertReleased(ptr);
    }

    @Test
    void aNegativeSizeIsOutOfMemory() {
        Throwable t = assertThrows(Throwable.class, () -> Pointer.getInstance(-1));
        assertEquals(Exception.class, t.getClass());
        assertEquals("Out of memory", t.getMessage());
    }

    // Strings.

    @ParameterizedTest
    @ValueSource(booleans = {true, false})
    void aNullStringIsAnEmptyPointer(boolean unicode) {
        Pointer ptr = Pointer.getInstance(null, unicode);
        assertEquals(0, ptr.p);
        assertNull(ptr.o);
        assertEquals(0, ptr.size);
        ptr.free();
        ptr.addReference();
        assertEquals(0, ptr.size, "free and addReference leave an empty Pointer alone");
    }

    @ParameterizedTest
    @CsvSource({"true, 410042000000", "false, 414200"})
    void stringBlocksInBothModes(boolean unicode, String hex) {
        byte[] expected = java.util.HexFormat.of().parseHex(hex);
        Pointer ptr = Pointer.getInstance("AB", unicode);
        assertEquals(expected.length, ptr.size);
        assertNull(ptr.o);
        assertArrayEquals(expected, Native.peek(ptr.p, ptr.size));
        assertArrayEquals(expected, ptr.getContent());
        assertEquals("AB", ptr.getContentAsString(unicode));
        ptr.free();
        assertReleased(ptr);
    }

    @Test
    void stringBlocksEndAtTheFirstNul() {
        Pointer wide = Pointer.getInstance("A\u0000B", true);
        assertArrayEquals(new byte[] {0x41, 0, 0, 0}, wide.getContent());
        assertEquals("A", wide.getContentAsString(true));
        wide.free();
        // Modified UTF-8 has no NUL byte inside, so the whole text stays.
        Pointer ansi = Pointer.getInstance("\u00e9\u0000", false);
        assertArrayEquals(new byte[] {(byte) 0xC3, (byte) 0xA9, (byte) 0xC0, (byte) 0x80, 0}, ansi.getContent());
        assertEquals("\u00e9\u0000", ansi.getContentAsString(false));
        ansi.free();
    }

    @Test
    void contentAsStringWithoutABlockIsNull() {
        Pointer none = new Pointer(0, null, 0);
        assertNull(none.getContentAsString(false));
        assertNull(none.getContentAsString(true));
    }

    // Releasing and sharing.

    @Test
    void aSecondFreeDoesNothing() {
        Pointer ptr = Pointer.getInstance(8);
        ptr.free();
        assertReleased(ptr);
        ptr.free();
        assertReleased(ptr);
        ptr.addReference();
        assertReleased(ptr);
    }

    @Test
    void eachReferenceNeedsItsFree() {
        Pointer ptr = Pointer.getInstance(8);
        Native.poke(ptr.p, new byte[] {1, 2, 3, 4, 5, 6, 7, 8});
        long p = ptr.p;
        ptr.addReference();
        ptr.free();
        assertEquals(p, ptr.p, "the first free leaves the fields");
        assertEquals(8, ptr.size);
        assertArrayEquals(new byte[] {1, 2, 3, 4, 5, 6, 7, 8}, ptr.getContent(), "the block is still there");
        ptr.free();
        assertReleased(ptr);
    }

    @Test
    void aPointerToAnotherObjectsBlockSharesItsReferences() {
        Pointer owner = Pointer.getInstance(8);
        Pointer view = new Pointer(owner.p, null, 8);
        view.addReference();
        owner.free();
        assertNotEquals(0, owner.p, "the view still holds a reference");
        view.free();
        assertReleased(view);
        owner.free();
        assertNotEquals(0, owner.p, "a stale copy of a released address is not released again");
    }

    @Test
    void aBlockTheRegistryDoesNotKnowIsLeftAlone() {
        Pointer heap = Pointer.getInstance(8);
        Pointer inside = new Pointer(heap.p + 4, null, 4);
        inside.free();
        inside.addReference();
        assertEquals(4, inside.size);
        heap.free();
        assertReleased(heap);
    }

    // copy.

    @Test
    void copyWritesFromTheArrayIntoTheBlock() {
        Pointer dst = Pointer.getInstance(6);
        Native.poke(dst.p, new byte[] {0, 0, 0, 0, 0, 0});
        byte[] src = {10, 11, 12, 13, 14};
        Pointer.copy(src, 1, dst, 2, 3);
        assertArrayEquals(new byte[] {0, 0, 11, 12, 13, 0}, Native.peek(dst.p, 6));
        assertArrayEquals(new byte[] {10, 11, 12, 13, 14}, src, "the source is never written back");
        Pointer.copy(src, 5, dst, 6, 0);
        dst.free();
    }

    /** Source offset, destination offset, length: each range must lie inside its array or block. */
    @ParameterizedTest
    @CsvSource({"-1, 0, 1", "0, 0, 6", "4, 0, 2", "5, 0, 1", "0, -1, 1", "0, 4, 3", "0, 6, 1", "0, 0, -1",
            "2147483647, 0, 1", "1, 0, 2147483647", "0, 2147483647, 1"})
    void copyOutOfRangeRaisesAndCopiesNothing(int srcOffset, int dstOffset, int length) {
        Pointer dst = Pointer.getInstance(6);
        byte[] before = {7, 7, 7, 7, 7, 7};
        Native.poke(dst.p, before);
        assertThrows(ArrayIndexOutOfBoundsException.class,
                () -> Pointer.copy(new byte[] {1, 2, 3, 4, 5}, srcOffset, dst, dstOffset, length));
        assertArrayEquals(before, Native.peek(dst.p, 6));
        dst.free();
    }

    // Reading blocks back.

    @Test
    void nativeLongsComeBackAsJavaLongs() {
        assertEquals(8, Native.nativeLongSize(), "this suite runs on 64-bit hosts");
        // Three longs fit the block; a "size" of 20 covers two and a half.
        Pointer ptr = Pointer.getInstance(24);
        Native.pokeNativeLongs(ptr.p, new long[] {1, 0xFFFFFFFFL, -1});
        ptr.size = 20;
        assertArrayEquals(new long[] {1, 4294967295L}, ptr.getNativeArrayAsLongs(), "whole longs only");
        ptr.size = 7;
        assertArrayEquals(new long[0], ptr.getNativeArrayAsLongs());
        ptr.size = 24;
        ptr.free();
    }

    @Test
    void aReleasedPointerReadsAsNothing() {
        Pointer ptr = Pointer.getInstance(16);
        ptr.free();
        long[] longs = ptr.getNativeArrayAsLongs();
        assertNotNull(longs);
        assertEquals(0, longs.length);
        assertNoArray(ptr::getContent);
    }

    @Test
    void contentWithoutABlockDoesNotReadAddressZero() {
        byte[] content = new Pointer(0, null, 16).getContent();
        assertTrue(content == null || content.length == 0, "content of no block");
    }

    /** No array comes back; a NegativeArraySizeException on the way is acceptable. */
    static void assertNoArray(Supplier<byte[]> read) {
        try {
            assertNull(read.get());
        } catch (NegativeArraySizeException expected) {
            // The virtual machine's own answer to a length of -1.
        }
    }
}
