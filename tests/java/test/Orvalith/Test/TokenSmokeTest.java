package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;

/**
 * A first pass over the token natives, to show that the harness reaches
 * them; the thorough suites for initialisation, sessions and the token
 * calls build on the same pieces.
 */
class TokenSmokeTest {
    /** Where CK_INFO's manufacturer lies (after the version, on every build). */
    static final int MANUFACTURER = 2, MANUFACTURER_LENGTH = 32;

    @Test
    void withoutAModuleNothingIsCalledAndNoCellIsWritten() {
        long[] cell = {5};
        long[] session = {-9};
        assertEquals(Cryptoki.CKR_NO_FUNCTION, JNI.c_Initialize(0, null));
        assertEquals(Cryptoki.CKR_NO_FUNCTION, JNI.c_GetInfo(0, null));
        assertEquals(Cryptoki.CKR_NO_FUNCTION, JNI.c_GetSlotList(0, true, null, cell));
        assertEquals(Cryptoki.CKR_NO_FUNCTION, JNI.c_OpenSession(0, 1, 6, null, null, session));
        assertEquals(Cryptoki.CKR_NO_FUNCTION, JNI.c_Sign(0, 1, null, 0, null, cell));
        assertEquals(Cryptoki.CKR_NO_FUNCTION, JNI.c_Finalize(0, 0));
        assertEquals(5, cell[0]);
        assertEquals(-9, session[0]);
    }

    @Test
    void aSystemModuleInitialisesReportsItsInfoAndFinalises() {
        long module = JNI.loadExternalModule(Paths.module("orvjni.module.p11kit_trust"));
        assertNotEquals(0, module);
        Pointer info = Pointer.getInstance(Ck.Info.SIZE);
        try {
            assertEquals(Cryptoki.CKR_OK, JNI.c_Initialize(module, null));
            assertEquals(Cryptoki.CKR_OK, JNI.c_GetInfo(module, info));
            byte[] content = info.getContent();
            assertEquals(2, content[0], "Cryptoki major version");
            String manufacturer = new String(content, MANUFACTURER, MANUFACTURER_LENGTH, StandardCharsets.US_ASCII);
            assertFalse(manufacturer.isBlank(), "manufacturer ID");
            assertEquals(Cryptoki.CKR_OK, JNI.c_Finalize(module, 0));
        } finally {
            info.free();
            JNI.unloadExternalModule(module);
        }
    }

    @Test
    void theTestModuleSeesTheArgumentsAndTheCellGetsItsAnswer() {
        try (Mock mock = Mock.open(Paths.mock("orvjni.mock"))) {
            mock.reset();
            long module = JNI.loadExternalModule(mock.path());
            assertNotEquals(0, module);
            try {
                assertEquals(Cryptoki.CKR_OK, JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0)));
                assertTrue(mock.hasMutexCallbacks());
                assertArrayEquals(new long[4], mock.mutexCycle(true), "create, lock, unlock, destroy off the JVM");

                mock.setOut(Cryptoki.C_GetSlotList, 2, 3);
                mock.setResult(Cryptoki.C_GetSlotList, Cryptoki.CKR_VENDOR_DEFINED);
                long[] count = {0x1_0000_0007L};
                assertEquals(Cryptoki.CKR_VENDOR_DEFINED, JNI.c_GetSlotList(module, true, null, count));
                assertEquals(3, count[0]);
                Mock.Record call = mock.last(Cryptoki.C_GetSlotList);
                assertEquals(1, call.value[0], "tokenPresent as CK_BBOOL");
                assertEquals(0, call.value[1], "a null Pointer is the null list");
                assertTrue(call.hasPointee[2]);
                assertEquals(Ck.asUlong(0x1_0000_0007L), call.pointee[2], "the cell's value on the way in");

                assertEquals(Cryptoki.CKR_OK, JNI.c_Finalize(module, 0));
            } finally {
                JNI.unloadExternalModule(module);
            }
        }
    }

    @Test
    void initialiseArgumentRecords() {
        long[] callbacks = Native.mutexCallbacks();
        long[] words = new long[7];
        assertEquals(6, Native.objToInitializeArgs(new JNI.CK_C_INITIALIZE_ARGS(true, 5, 0x1234), words));
        assertArrayEquals(new long[] {callbacks[0], callbacks[1], callbacks[2], callbacks[3], 5, 0x1234, 0}, words);

        words = new long[7];
        JNI.CK_C_INITIALIZE_ARGS nss = new JNI.CK_C_INITIALIZE_ARGS_NSS(false, 1, 2, 3) {
        };
        assertTrue(Native.isNSS(nss), "a subclass of the NSS class");
        assertFalse(Native.isNSS(new JNI.CK_C_INITIALIZE_ARGS()));
        assertEquals(7, Native.objToInitializeArgs(nss, words));
        assertArrayEquals(new long[] {0, 0, 0, 0, 1, 3, 2}, words, "library parameters before pReserved");

        assertEquals(0, Native.objToInitializeArgs(null, words));
    }
}
