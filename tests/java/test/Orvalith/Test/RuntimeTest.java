package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.params.provider.Arguments.arguments;

import java.util.HexFormat;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/** Environment, exceptions, strings, field and cell accessors. */
class RuntimeTest {
    /** A class with one field of each kind that the accessors handle. */
    static class Fields {
        int i = 7;
        long l = 0x123456789ABCDEF0L;
        boolean b = true;
        boolean off;
        double d = 2.5;
        Object obj = new StringBuilder("o");
        String str = "s\u00e9";
        byte[] bytes = {1, -2, 3};
        byte[] noBytes;
    }

    static Exception bridgeException(Throwable t) {
        assertNotNull(t, "nothing was raised");
        assertEquals(Exception.class, t.getClass(), "the bridge raises plain java.lang.Exception: " + t);
        return (Exception) t;
    }

    static String missingField(String name) {
        String full = "Can't find " + name + " field in class.";
        return full.substring(0, Math.min(49, full.length()));
    }

    static byte[] hex(String s) {
        return HexFormat.of().parseHex(s);
    }

    // Field getters.

    @Test
    void gettersReadEachKindOfField() {
        Fields f = new Fields();
        assertEquals(7, Native.getIntField(f, "i"));
        assertEquals(0x123456789ABCDEF0L, Native.getLongField(f, "l"));
        assertEquals(1, Native.getBoolField(f, "b"));
        assertEquals(0, Native.getBoolField(f, "off"));
        assertEquals(2.5, Native.getDoubleField(f, "d"));
        assertSame(f.obj, Native.getObjectField(f, "obj"));
        assertSame(f.str, Native.getStringField(f, "str"));
        assertArrayEquals(f.bytes, Native.getByteArrayField(f, "bytes"));
        assertNull(Native.getByteArrayField(f, "noBytes"), "a null array field gives no elements");
    }

    @ParameterizedTest
    @CsvSource({"LONG_FIELD, -1", "INT_FIELD, -1", "BOOL_FIELD, 255", "DOUBLE_FIELD, -4616189618054758400"})
    void aMissingFieldRaisesAndGivesTheFallback(Native.Read reader, long fallback) {
        Native.Captured c = assertThrows(Native.Captured.class, () -> Native.read(null, reader, new Fields(), "size"));
        assertEquals("Can't find size field in class.", bridgeException(c.raised).getMessage());
        assertEquals(fallback, c.value, reader.name());
    }

    @ParameterizedTest
    @CsvSource({"OBJECT_FIELD, size", "STRING_FIELD, size", "OBJECT_FIELD, str"})
    void aMissingObjectFieldRaisesAndGivesNull(Native.ReadObject reader, String name) {
        // "str" is a String, but not declared as Object: the signature decides.
        Object[] out = {"untouched"};
        Throwable t = assertThrows(Throwable.class,
                () -> Native.readObjectCaptured(null, reader.ordinal(), new Fields(), name, out));
        assertEquals(missingField(name), bridgeException(t).getMessage());
        assertNull(out[0]);
    }

    @Test
    void aMissingByteArrayFieldRaises() {
        Throwable t = assertThrows(Throwable.class, () -> Native.getByteArrayField(new Fields(), "size"));
        assertEquals("Can't find size field in class.", bridgeException(t).getMessage());
    }

    /** The JNI signature is part of the lookup: a field of another type is missing. */
    @ParameterizedTest
    @CsvSource({"INT_FIELD, l", "LONG_FIELD, i", "BOOL_FIELD, i", "DOUBLE_FIELD, l"})
    void aFieldOfAnotherTypeCountsAsMissing(Native.Read reader, String name) {
        Native.Captured c = assertThrows(Native.Captured.class, () -> Native.read(null, reader, new Fields(), name));
        assertEquals(missingField(name), bridgeException(c.raised).getMessage());
    }

    // Messages of missing members.

    /** 22 characters fill the 49 that the message may have; longer names are cut. */
    @ParameterizedTest
    @ValueSource(ints = {1, 4, 21, 22, 23, 30, 200})
    void missingFieldMessagesAreCutAt49Characters(int length) {
        String name = "f".repeat(length - 1) + "Z";
        Throwable t = assertThrows(Throwable.class, () -> Native.isFieldExists(new Fields(), name, null));
        String message = bridgeException(t).getMessage();
        assertEquals(missingField(name), message);
        if (length >= 22) {
            assertEquals(49, message.length());
        }
    }

    @Test
    void missingFieldMessageThroughAGetterIsCutToo() {
        String name = "a234567890b234567890c234567890";
        Native.Captured c = assertThrows(Native.Captured.class,
                () -> Native.read(null, Native.Read.LONG_FIELD, new Fields(), name));
        assertEquals("Can't find a234567890b234567890c234567890 field i", bridgeException(c.raised).getMessage());
    }

    @Test
    void isFieldExistsAcceptsAFoundFieldAndReplacesTheLookupError() {
        assertEquals(1, Native.isFieldExists(new Fields(), "i", "I"));
        // The failed lookup leaves NoSuchFieldError pending; the bridge's message replaces it.
        Throwable t = assertThrows(Throwable.class, () -> Native.isFieldExists(new Fields(), "i", "J"));
        assertEquals("Can't find i field in class.", bridgeException(t).getMessage());
    }

    @ParameterizedTest
    @ValueSource(ints = {1, 30, 31, 32, 100})
    void missingMethodMessagesAreCutAt49Characters(int length) {
        String name = "m".repeat(length - 1) + "Z";
        Throwable t = assertThrows(Throwable.class, () -> Native.canCallMethod(new Fields(), name, null));
        String full = "Method " + name + " not found.";
        assertEquals(full.substring(0, Math.min(49, full.length())), bridgeException(t).getMessage());
    }

    @Test
    void canCallMethodAfterTheBridgesLookup() {
        assertEquals(1, Native.canCallMethod(new Fields(), "hashCode", "()I"));
        Throwable t = assertThrows(Throwable.class, () -> Native.canCallMethod(new Fields(), "callback", "()I"));
        assertEquals("Method callback not found.", bridgeException(t).getMessage());
    }

    @Test
    void getMethodIdFindsInheritedMethodsAndRaisesNothingOfItsOwn() {
        assertTrue(Native.hasMethod(new Fields(), "toString", "()Ljava/lang/String;"));
        // Only the virtual machine's own lookup error reaches the caller.
        assertThrows(NoSuchMethodError.class, () -> Native.hasMethod(new Fields(), "toString", "()I"));
    }

    // Field setters.

    @Test
    void settersWriteEachKindOfField() {
        Fields f = new Fields();
        Object o = new Object();
        Native.setIntField(f, "i", 70000);
        Native.setLongField(f, "l", -1L);
        Native.setBoolField(f, "b", false);
        Native.setBoolField(f, "off", true);
        Native.setDoubleField(f, "d", -0.125);
        Native.setObjectField(f, "obj", o);
        Native.setStringField(f, "str", "new");
        assertEquals(70000, f.i);
        assertEquals(Ck.asUlong(-1L), f.l, "all bits of the native unsigned long");
        assertFalse(f.b);
        assertTrue(f.off);
        assertEquals(-0.125, f.d);
        assertSame(o, f.obj);
        assertEquals("new", f.str);
        Native.setObjectField(f, "obj", null);
        Native.setStringField(f, "str", null);
        assertNull(f.obj);
        assertNull(f.str);
    }

    @ParameterizedTest
    @ValueSource(strings = {"LONG_FIELD", "INT_FIELD", "BOOL_FIELD", "DOUBLE_FIELD", "OBJECT_FIELD", "STRING_FIELD"})
    void aSetterOfAMissingFieldRaisesAndWritesNothing(Native.Write writer) {
        Fields f = new Fields();
        Throwable t = assertThrows(Throwable.class,
                () -> Native.writeCaptured(null, writer.ordinal(), f, "size", 1, "x"));
        assertEquals("Can't find size field in class.", bridgeException(t).getMessage());
        Fields fresh = new Fields();
        assertEquals(fresh.i, f.i);
        assertEquals(fresh.l, f.l);
        assertEquals(fresh.b, f.b);
        assertEquals(fresh.d, f.d);
        assertEquals(fresh.str, f.str);
    }

    // Reference cells.

    @Test
    void cellsAreReadAndWrittenAtElementZero() {
        assertEquals(-42, Native.getIntRefValue(new int[] {-42}));
        assertEquals(Long.MIN_VALUE, Native.getLongRefValue(new long[] {Long.MIN_VALUE}));
        int[] ints = {0, 9};
        long[] longs = {0, 9};
        boolean[] bools = {false, false};
        Native.setIntRef(ints, 70000);
        Native.setLongRef(longs, 0xFFFFFFFFL);
        Native.setBoolRef(bools, true);
        assertArrayEquals(new int[] {70000, 9}, ints);
        assertArrayEquals(new long[] {4294967295L, 9}, longs);
        assertArrayEquals(new boolean[] {true, false}, bools);
        Native.setLongRef(longs, -1);
        assertEquals(-1, longs[0]);
    }

    // Objects and byte arrays.

    @Test
    void getObjMakesAPlainObjectEachTime() {
        Object a = Native.getObj();
        Object b = Native.getObj();
        assertEquals(Object.class, a.getClass());
        assertNotSame(a, b);
        Native.freeObj(a);
    }

    @Test
    void bArr2jArrCopiesTheBytes() {
        assertArrayEquals(new byte[] {5, -6}, Native.bArr2jArr(new byte[] {5, -6, 7}, 2));
        assertArrayEquals(new byte[0], Native.bArr2jArr(null, 0), "length 0 reads nothing, not even the address");
    }

    // Native strings in modified UTF-8.

    static Stream<Arguments> nativeStrings() {
        return Stream.of(arguments("", ""), arguments("AB", "4142"), arguments("\u00e9", "c3a9"),
                arguments("\u0000", "c080"), arguments("a\u0000b", "61c08062"),
                arguments("\ud83d\ude00", "eda0bdedb880"), arguments("\u20ac1", "e282ac31"));
    }

    @ParameterizedTest
    @MethodSource("nativeStrings")
    void nativeStringsAreModifiedUtf8(String s, String bytes) {
        byte[] text = hex(bytes);
        byte[] terminated = java.util.Arrays.copyOf(text, text.length + 1);
        assertArrayEquals(terminated, Native.jstringToWindows(s), "with its NUL");
        assertEquals(s, Native.windowsTojstring(text));
    }

    @Test
    void aNullNativeStringGivesNull() {
        assertNull(Native.windowsTojstring(null));
    }

    // Exceptions.

    @Test
    void throwNewExceptionRaisesAPlainExceptionWithTheMessage() {
        Throwable t = assertThrows(Throwable.class, () -> Native.throwNewException(null, "Out of memory"));
        assertEquals("Out of memory", bridgeException(t).getMessage());
        t = assertThrows(Throwable.class, () -> Native.throwNewException(null, "caf\u00e9"));
        assertEquals("caf\u00e9", bridgeException(t).getMessage());
    }

    @Test
    void throwNewExceptionReplacesAPendingException() {
        Throwable t = assertThrows(Throwable.class,
                () -> Native.throwNewException(new IllegalStateException("earlier"), "Class not found"));
        assertEquals("Class not found", bridgeException(t).getMessage());
    }

    @Test
    void throwRaisesTheJavaStringAsMessage() {
        Throwable t = assertThrows(Throwable.class, () -> Native.throwMessage("Method not found"));
        assertEquals("Method not found", bridgeException(t).getMessage());
    }

    // Environment.

    @Test
    void jvmIsTheRunningVirtualMachine() {
        assertTrue(Native.jvmIsSet());
        assertTrue(Native.getEnvIsCaller());
    }

    @Test
    void aNewNativeThreadHasNoEnvironmentUntilAttachedAndLosesItOnDetach() {
        int[] seen = Native.probeEnvOnNewThread();
        assertEquals(0, seen[Native.ENV_BEFORE_ATTACH], "GetEnv on an unattached thread");
        assertEquals(1, seen[Native.ATTACHED], "AttachEnv");
        assertEquals(1, seen[Native.VM_SEES_ATTACHED], "the VM's view of the attached thread");
        assertEquals(1, seen[Native.GETENV_AFTER_ATTACH], "GetEnv after AttachEnv");
        assertEquals(0, seen[Native.VM_SEES_AFTER_DETACH], "the thread after DetachEnv");
    }
}
