package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/**
 * A native that goes on after an earlier failure calls the accessors with
 * an exception pending.  They must still work, leave that exception to the
 * Java caller, and make no JNI call that the checker objects to: the run
 * fails on any -Xcheck:jni warning.
 */
class PendingExceptionTest {
    static class Fields {
        long l = -7;
        int i = 70000;
        boolean b = true;
        double d = 0.5;
        Object obj = new Object();
        String str = "text";
    }

    static final IllegalStateException PENDING = new IllegalStateException("raised before the accessor");

    static Object target(Native.Read reader, Fields f) {
        switch (reader) {
            case LONG_REF:
                return new long[] {Long.MIN_VALUE};
            case INT_REF:
                return new int[] {-3};
            default:
                return f;
        }
    }

    static long expected(Native.Read reader, Fields f) {
        switch (reader) {
            case LONG_FIELD:
                return f.l;
            case INT_FIELD:
                return f.i;
            case BOOL_FIELD:
                return 1;
            case DOUBLE_FIELD:
                return Double.doubleToRawLongBits(f.d);
            case LONG_REF:
                return Long.MIN_VALUE;
            default:
                return -3;
        }
    }

    static String field(Native.Read reader) {
        switch (reader) {
            case LONG_FIELD:
                return "l";
            case INT_FIELD:
                return "i";
            case BOOL_FIELD:
                return "b";
            default:
                return "d";
        }
    }

    @ParameterizedTest
    @EnumSource(Native.Read.class)
    void readersReadAndLeaveTheExceptionPending(Native.Read reader) {
        Fields f = new Fields();
        // read() fails unless exactly PENDING reaches Java.
        assertEquals(expected(reader, f), Native.read(PENDING, reader, target(reader, f), field(reader)));
    }

    @ParameterizedTest
    @EnumSource(Native.ReadObject.class)
    void objectReadersReadAndLeaveTheExceptionPending(Native.ReadObject reader) {
        Fields f = new Fields();
        Object[] out = {null};
        boolean object = reader == Native.ReadObject.OBJECT_FIELD;
        Throwable t = assertThrows(Throwable.class,
                () -> Native.readObjectCaptured(PENDING, reader.ordinal(), f, object ? "obj" : "str", out));
        assertSame(PENDING, t);
        assertSame(object ? f.obj : f.str, out[0]);
    }

    @Test
    void writersWriteAndLeaveTheExceptionPending() {
        Fields f = new Fields();
        Object o = new Object();
        long[] longCell = {0};
        int[] intCell = {0};
        boolean[] boolCell = {false};
        Object[][] writes = {
            {Native.Write.LONG_FIELD, f, "l", 0x1_0000_0005L, null},
            {Native.Write.INT_FIELD, f, "i", 12L, null},
            {Native.Write.BOOL_FIELD, f, "b", 0L, null},
            {Native.Write.DOUBLE_FIELD, f, "d", Double.doubleToRawLongBits(-2.0), null},
            {Native.Write.OBJECT_FIELD, f, "obj", 0L, o},
            {Native.Write.STRING_FIELD, f, "str", 0L, "other"},
            {Native.Write.LONG_REF, longCell, null, -5L, null},
            {Native.Write.INT_REF, intCell, null, 6L, null},
            {Native.Write.BOOL_REF, boolCell, null, 1L, null},
        };
        for (Object[] w : writes) {
            Throwable t = assertThrows(Throwable.class, () -> Native.writeCaptured(PENDING,
                    ((Native.Write) w[0]).ordinal(), w[1], (String) w[2], (Long) w[3], w[4]));
            assertSame(PENDING, t, w[0].toString());
        }
        assertEquals(Ck.asUlong(0x1_0000_0005L), f.l, "a native unsigned long");
        assertEquals(12, f.i);
        assertEquals(false, f.b);
        assertEquals(-2.0, f.d);
        assertSame(o, f.obj);
        assertEquals("other", f.str);
        assertArrayEquals(new long[] {-5}, longCell);
        assertArrayEquals(new int[] {6}, intCell);
        assertArrayEquals(new boolean[] {true}, boolCell);
    }

    /** A missing field raises the bridge's exception, which takes the place of the pending one. */
    @Test
    void aMissingFieldReplacesThePendingException() {
        Native.Captured c = assertThrows(Native.Captured.class,
                () -> Native.read(PENDING, Native.Read.LONG_FIELD, new Fields(), "size"));
        assertEquals(Exception.class, c.raised.getClass());
        assertEquals("Can't find size field in class.", c.raised.getMessage());
        assertEquals(-1, c.value);
    }
}
