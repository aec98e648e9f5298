package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The exported block registry, on a registry of the test's own.  The
 * addresses are only compared, never dereferenced.
 */
class RegistryTest {
    static final long A = 0xA000, B = 0xB000, C = 0xC000;

    long registry;

    @BeforeEach
    void create() {
        registry = Native.plistCreate();
    }

    @AfterEach
    void dispose() {
        Native.plistDispose(registry);
    }

    /** {count, address, refcount, ...} from the head, with the back links checked. */
    long[] nodes() {
        long[] n = Native.plistNodes(registry);
        assertNotNull(n, "back links or count disagree with the forward links");
        return n;
    }

    @Test
    void newestBlockComesFirst() {
        assertArrayEquals(new long[] {0}, nodes());
        Native.plistAdd(registry, A);
        Native.plistAdd(registry, B);
        assertArrayEquals(new long[] {2, B, 1, A, 1}, nodes());
    }

    @Test
    void theLastReferenceRemovesTheNode() {
        Native.plistAdd(registry, A);
        Native.plistAdd(registry, A);
        assertArrayEquals(new long[] {1, A, 2}, nodes(), "a second registration is a reference");
        assertEquals(0, Native.plistDelete(registry, A));
        assertArrayEquals(new long[] {1, A, 1}, nodes());
        assertEquals(1, Native.plistDelete(registry, A));
        assertArrayEquals(new long[] {0}, nodes());
        Native.plistAdd(registry, A);
        assertArrayEquals(new long[] {1, A, 1}, nodes(), "registered afresh");
    }

    @Test
    void increfAddsAReferenceToKnownAddressesOnly() {
        Native.plistAdd(registry, A);
        Native.plistIncref(registry, A);
        Native.plistIncref(registry, B);
        assertArrayEquals(new long[] {1, A, 2}, nodes());
        assertEquals(0, Native.plistDelete(registry, A));
        assertEquals(1, Native.plistDelete(registry, A));
    }

    @Test
    void unknownAddressesChangeNothing() {
        assertEquals(0, Native.plistDelete(registry, A), "empty registry");
        Native.plistAdd(registry, B);
        assertEquals(0, Native.plistDelete(registry, A));
        assertArrayEquals(new long[] {1, B, 1}, nodes());
    }

    @Test
    void removingAnyNodeKeepsTheOthersLinked() {
        // removed, then the two that stay, from the head: middle, head, tail
        long[][] cases = {{B, C, A}, {C, B, A}, {A, C, B}};
        for (long[] c : cases) {
            Native.plistReset(registry);
            Native.plistAdd(registry, A);
            Native.plistAdd(registry, B);
            Native.plistAdd(registry, C);
            assertEquals(1, Native.plistDelete(registry, c[0]));
            assertArrayEquals(new long[] {2, c[1], 1, c[2], 1}, nodes(), "after removing " + c[0]);
        }
    }

    @Test
    void resetEmptiesTheRegistry() {
        Native.plistAdd(registry, A);
        Native.plistAdd(registry, B);
        Native.plistReset(registry);
        assertArrayEquals(new long[] {0}, nodes());
        Native.plistAdd(registry, C);
        Native.plistFree(registry);
        Native.plistNew(registry);
        assertArrayEquals(new long[] {0}, nodes(), "free, then new");
    }
}
