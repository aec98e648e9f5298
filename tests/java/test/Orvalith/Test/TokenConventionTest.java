package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The conventions that every token native shares, seen by the test module
 * for a sample of natives that covers each argument kind and position: the
 * arguments arrive in prototype order and kind, in/out cells are read and
 * written, output cells only written, and the calls that cannot be made
 * answer without reaching the module.
 */
class TokenConventionTest {
    /** The vendor-defined answer the module gives: it must come back positive. */
    private static final long VENDOR_RV = 0x8000_0ABCL;
    private static final long OUT_CELL_BEFORE = 77, SCRIPTED = 0xCAFE;

    private Mock mock;
    private long module;
    private final List<Pointer> blocks = new ArrayList<>();

    @BeforeEach
    void load() {
        mock = Mock.open(Paths.mock("orvjni.mock"));
        mock.reset();
        module = JNI.loadExternalModule(mock.path());
        assertNotEquals(0, module);
        for (int i = 0; i < 3; i++) {
            blocks.add(Pointer.getInstance(16));
        }
    }

    @AfterEach
    void unload() {
        blocks.forEach(Pointer::free);
        JNI.unloadExternalModule(module);
        mock.close();
    }

    /** Argument kinds as the module records them. */
    enum Kind {
        ULONG, POINTER, BBOOL, IN_OUT, OUT, RESERVED
    }

    /** How the arguments of one call are made. */
    enum Mode {
        NORMAL, NULL_POINTERS, NULL_CELLS, EMPTY_CELLS
    }

    /**
     * Hands out the Java arguments of one call in order, and keeps what the
     * module should see at each position.  Java evaluates arguments left to
     * right, so a call written as a list of these gives prototype order.
     */
    final class Args {
        final Mode mode;
        final List<Kind> kinds = new ArrayList<>();
        final List<Long> sent = new ArrayList<>();
        final List<long[]> cells = new ArrayList<>();
        private int pointers;

        Args(Mode mode) {
            this.mode = mode;
        }

        private <T> T add(Kind kind, long value, T arg) {
            kinds.add(kind);
            sent.add(value);
            return arg;
        }

        /** An integer with bits above 32, so that narrowing would show. */
        long ul() {
            long v = 0x5_0000_0000L | (0x10 + kinds.size());
            return add(Kind.ULONG, v, v);
        }

        Pointer ptr() {
            Pointer p = mode == Mode.NULL_POINTERS ? null : blocks.get(pointers++ % blocks.size());
            return add(Kind.POINTER, p == null ? 0 : p.p, p);
        }

        boolean bool() {
            return add(Kind.BBOOL, 1, true);
        }

        long reserved() {
            long v = 0x5A5A0L + kinds.size();
            return add(Kind.RESERVED, v, v);
        }

        long[] cell() {
            return cellOf(Kind.IN_OUT, 0x40 + kinds.size());
        }

        long[] out() {
            return cellOf(Kind.OUT, OUT_CELL_BEFORE);
        }

        private long[] cellOf(Kind kind, long before) {
            long[] c = switch (mode) {
                case NULL_CELLS -> null;
                case EMPTY_CELLS -> new long[0];
                default -> new long[] {before};
            };
            cells.add(c);
            return add(kind, before, c);
        }

        boolean hasCells() {
            return kinds.contains(Kind.IN_OUT) || kinds.contains(Kind.OUT);
        }
    }

    interface Call {
        long run(long module, Args a);
    }

    record Case(String name, int entry, Call call) {
        @Override
        public String toString() {
            return name;
        }
    }

    static Stream<Case> natives() {
        return Stream.of(
                new Case("c_Finalize", Cryptoki.C_Finalize, (m, a) -> JNI.c_Finalize(m, a.reserved())),
                new Case("c_GetSlotList", Cryptoki.C_GetSlotList,
                        (m, a) -> JNI.c_GetSlotList(m, a.bool(), a.ptr(), a.cell())),
                new Case("c_WaitForSlotEvent", Cryptoki.C_WaitForSlotEvent,
                        (m, a) -> JNI.c_WaitForSlotEvent(m, a.ul(), a.cell(), a.reserved())),
                new Case("c_GetMechanismInfo", Cryptoki.C_GetMechanismInfo,
                        (m, a) -> JNI.c_GetMechanismInfo(m, a.ul(), a.ul(), a.ptr())),
                new Case("c_InitToken", Cryptoki.C_InitToken,
                        (m, a) -> JNI.c_InitToken(m, a.ul(), a.ptr(), a.ul(), a.ptr())),
                new Case("c_SetPIN", Cryptoki.C_SetPIN,
                        (m, a) -> JNI.c_SetPIN(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.ul())),
                new Case("c_GetOperationState", Cryptoki.C_GetOperationState,
                        (m, a) -> JNI.c_GetOperationState(m, a.ul(), a.ptr(), a.cell())),
                new Case("c_SetOperationState", Cryptoki.C_SetOperationState,
                        (m, a) -> JNI.c_SetOperationState(m, a.ul(), a.ptr(), a.ul(), a.ul(), a.ul())),
                new Case("c_Login", Cryptoki.C_Login, (m, a) -> JNI.c_Login(m, a.ul(), a.ul(), a.ptr(), a.ul())),
                new Case("c_CreateObject", Cryptoki.C_CreateObject,
                        (m, a) -> JNI.c_CreateObject(m, a.ul(), a.ptr(), a.ul(), a.out())),
                new Case("c_CopyObject", Cryptoki.C_CopyObject,
                        (m, a) -> JNI.c_CopyObject(m, a.ul(), a.ul(), a.ptr(), a.ul(), a.out())),
                new Case("c_GetObjectSize", Cryptoki.C_GetObjectSize,
                        (m, a) -> JNI.c_GetObjectSize(m, a.ul(), a.ul(), a.cell())),
                new Case("c_FindObjects", Cryptoki.C_FindObjects,
                        (m, a) -> JNI.c_FindObjects(m, a.ul(), a.ptr(), a.ul(), a.cell())),
                new Case("c_EncryptInit", Cryptoki.C_EncryptInit,
                        (m, a) -> JNI.c_EncryptInit(m, a.ul(), a.ptr(), a.ul())),
                new Case("c_Encrypt", Cryptoki.C_Encrypt,
                        (m, a) -> JNI.c_Encrypt(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.cell())),
                new Case("c_DecryptVerifyUpdate", Cryptoki.C_DecryptVerifyUpdate,
                        (m, a) -> JNI.c_DecryptVerifyUpdate(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.cell())),
                new Case("c_DigestKey", Cryptoki.C_DigestKey, (m, a) -> JNI.c_DigestKey(m, a.ul(), a.ul())),
                new Case("c_DigestFinal", Cryptoki.C_DigestFinal,
                        (m, a) -> JNI.c_DigestFinal(m, a.ul(), a.ptr(), a.cell())),
                new Case("c_Verify", Cryptoki.C_Verify,
                        (m, a) -> JNI.c_Verify(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.ul())),
                new Case("c_VerifyRecover", Cryptoki.C_VerifyRecover,
                        (m, a) -> JNI.c_VerifyRecover(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.cell())),
                new Case("c_GenerateKeyPair", Cryptoki.C_GenerateKeyPair,
                        (m, a) -> JNI.c_GenerateKeyPair(m, a.ul(), a.ptr(), a.ptr(), a.ul(), a.ptr(), a.ul(),
                                a.out(), a.out())),
                new Case("c_WrapKey", Cryptoki.C_WrapKey,
                        (m, a) -> JNI.c_WrapKey(m, a.ul(), a.ptr(), a.ul(), a.ul(), a.ptr(), a.cell())),
                new Case("c_UnwrapKey", Cryptoki.C_UnwrapKey,
                        (m, a) -> JNI.c_UnwrapKey(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.ul(), a.ptr(), a.ul(),
                                a.out())),
                new Case("c_DeriveKey", Cryptoki.C_DeriveKey,
                        (m, a) -> JNI.c_DeriveKey(m, a.ul(), a.ptr(), a.ul(), a.ptr(), a.ul(), a.out())),
                new Case("c_GenerateRandom", Cryptoki.C_GenerateRandom,
                        (m, a) -> JNI.c_GenerateRandom(m, a.ul(), a.ptr(), a.ul())),
                new Case("c_CancelFunction", Cryptoki.C_CancelFunction,
                        (m, a) -> JNI.c_CancelFunction(m, a.ul())));
    }

    private static long narrowed(long v) {
        return Ck.LONG == 8 ? v : v & 0xFFFF_FFFFL;
    }

    private static final int[] RECORDED_KIND = {Mock.ARG_ULONG, Mock.ARG_POINTER, Mock.ARG_BBOOL, Mock.ARG_CELL,
        Mock.ARG_CELL, Mock.ARG_POINTER};

    @ParameterizedTest(name = "{0}")
    @MethodSource("natives")
    void argumentsArriveInPrototypeOrderAndCellsComeBack(Case c) {
        mock.setResult(c.entry(), VENDOR_RV);
        Args a = new Args(Mode.NORMAL);
        assertEquals(VENDOR_RV, c.call().run(module, a), "the module's vendor code, as a positive long");

        Mock.Record call = mock.last(c.entry());
        assertNotNull(call, "the module was called");
        assertEquals(a.kinds.size(), call.nargs, call.toString());
        int cell = 0;
        for (int i = 0; i < a.kinds.size(); i++) {
            Kind kind = a.kinds.get(i);
            String where = c.name() + " argument " + i + " (" + kind + "): " + call;
            assertEquals(RECORDED_KIND[kind.ordinal()], call.kind[i], where);
            switch (kind) {
                case ULONG, RESERVED -> assertEquals(narrowed(a.sent.get(i)), call.value[i], where);
                case POINTER -> assertEquals(a.sent.get(i), call.value[i], where);
                case BBOOL -> assertEquals(1, call.value[i], where);
                case IN_OUT -> {
                    assertTrue(call.hasPointee[i], where);
                    assertEquals(a.sent.get(i), call.pointee[i], "read before the call: " + where);
                    assertEquals(a.sent.get(i), a.cells.get(cell++)[0], "written back unchanged: " + where);
                }
                case OUT -> {
                    assertEquals(0, call.pointee[i], "not read, starts at CK_INVALID_HANDLE: " + where);
                    assertEquals(0, a.cells.get(cell++)[0], "written even though the call failed: " + where);
                }
            }
        }

        // Whatever the module stores through a cell reaches Java.
        for (int i = 0; i < a.kinds.size(); i++) {
            mock.setOut(c.entry(), i, SCRIPTED + i);
        }
        Args scripted = new Args(Mode.NORMAL);
        c.call().run(module, scripted);
        for (int i = 0, n = 0; i < scripted.kinds.size(); i++) {
            Kind kind = scripted.kinds.get(i);
            if (kind == Kind.IN_OUT || kind == Kind.OUT) {
                assertEquals(SCRIPTED + i, scripted.cells.get(n++)[0], c.name() + " cell at " + i);
            }
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("natives")
    void aNullPointerIsTheNullAddress(Case c) {
        Args a = new Args(Mode.NULL_POINTERS);
        assertEquals(Ck.CKR_OK, c.call().run(module, a));
        Mock.Record call = mock.last(c.entry());
        for (int i = 0; i < a.kinds.size(); i++) {
            if (a.kinds.get(i) == Kind.POINTER) {
                assertEquals(0, call.value[i], c.name() + " argument " + i);
            }
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("natives")
    void callsThatCannotBeMadeReachNothing(Case c) {
        int before = mock.recordCount();

        Args none = new Args(Mode.NORMAL);
        assertEquals(2147483649L, c.call().run(0, none), "no module");
        assertCellsUntouched(none);

        mock.setEntryNull(c.entry(), true);
        Args nullEntry = new Args(Mode.NORMAL);
        assertEquals(Ck.CKR_NO_FUNCTION, c.call().run(module, nullEntry), "no entry in the table");
        assertCellsUntouched(nullEntry);
        mock.setEntryNull(c.entry(), false);

        for (Mode unusable : new Mode[] {Mode.NULL_CELLS, Mode.EMPTY_CELLS}) {
            Args a = new Args(unusable);
            long rv = c.call().run(module, a);
            if (a.hasCells()) {
                assertEquals(Ck.CKR_ARGUMENTS_BAD, rv, unusable.toString());
            } else {
                assertEquals(Ck.CKR_OK, rv, "nothing to refuse without cells");
                before++;
            }
        }
        assertEquals(before, mock.recordCount(), "calls that reached the module");
    }

    private static void assertCellsUntouched(Args a) {
        for (int i = 0, n = 0; i < a.kinds.size(); i++) {
            Kind kind = a.kinds.get(i);
            if (kind == Kind.IN_OUT || kind == Kind.OUT) {
                assertEquals(a.sent.get(i), a.cells.get(n++)[0], "cell at " + i);
            }
        }
    }
}
