package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * c_Initialize against the test module: the record it receives, word by
 * word, for each kind of argument object, and the mutex functions in it
 * used from threads the virtual machine never saw.
 */
class InitializeTest {
    private Mock mock;
    private long module;

    @BeforeEach
    void load() {
        mock = Mock.open(Paths.mock("orvjni.mock"));
        mock.reset();
        module = JNI.loadExternalModule(mock.path());
        assertNotEquals(0, module);
    }

    @AfterEach
    void unload() {
        JNI.c_Finalize(module, 0);
        JNI.unloadExternalModule(module);
        mock.close();
    }

    /** A plain argument object of a class of its own: only the field names count. */
    static final class OwnArgs {
        boolean useMutexes;
        long flags;
        long pReserved;

        OwnArgs(boolean useMutexes, long flags, long pReserved) {
            this.useMutexes = useMutexes;
            this.flags = flags;
            this.pReserved = pReserved;
        }
    }

    /** An NSS argument object of a subclass, which counts as the NSS kind. */
    static final class DerivedNss extends JNI.CK_C_INITIALIZE_ARGS_NSS {
        DerivedNss(boolean useMutexes, long flags, long pReserved, long params) {
            super(useMutexes, flags, pReserved, params);
        }
    }

    /** Plain objects without LibraryParams, then NSS ones with LibraryParams before pReserved. */
    static Stream<Arguments> records() {
        long big = 0x1234_5678_9ABCL;
        return Stream.of(
                Arguments.of("plain, no mutexes", new JNI.CK_C_INITIALIZE_ARGS(false, Ck.CKF_OS_LOCKING_OK, 0),
                        false, new long[] {Ck.CKF_OS_LOCKING_OK, 0}),
                Arguments.of("plain, mutexes", new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0x40), true,
                        new long[] {0, 0x40}),
                Arguments.of("own class, mutexes and both flags", new OwnArgs(true, 3, big), true,
                        new long[] {3, big}),
                Arguments.of("NSS, no mutexes", new JNI.CK_C_INITIALIZE_ARGS_NSS(false, 0, 0x77, 0x5000), false,
                        new long[] {0, 0x5000, 0x77}),
                Arguments.of("NSS, mutexes", new JNI.CK_C_INITIALIZE_ARGS_NSS(true, Ck.CKF_OS_LOCKING_OK, 0, big),
                        true, new long[] {Ck.CKF_OS_LOCKING_OK, big, 0}),
                Arguments.of("NSS subclass", new DerivedNss(true, 1, 2, 3), true, new long[] {1, 3, 2}));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("records")
    void theModuleReceivesTheRecordOfTheObjectsKind(String name, Object args, boolean mutexes, long[] tail) {
        mock.setInitWords(4 + tail.length);  // never past the end of the record
        assertEquals(Ck.CKR_OK, JNI.c_Initialize(module, args));
        Mock.Record call = mock.last(Cryptoki.C_Initialize);
        assertNotNull(call);
        assertFalse(call.initArgsNull);
        long[] callbacks = mutexes ? Native.mutexCallbacks() : new long[4];
        long[] expected = new long[4 + tail.length];
        System.arraycopy(callbacks, 0, expected, 0, 4);
        for (int i = 0; i < tail.length; i++) {
            expected[4 + i] = Ck.asUlong(tail[i]);  // 32-bit words on the 32-bit builds
        }
        assertArrayEquals(expected, call.initWords, "CreateMutex, DestroyMutex, LockMutex, UnlockMutex, flags, ...");
        assertEquals(mutexes, mock.hasMutexCallbacks());
    }

    @Test
    void aNullObjectGivesANullRecordAndTheModulesAnswerComesBack() {
        mock.setResult(Cryptoki.C_Initialize, Ck.CKR_CRYPTOKI_ALREADY_INITIALIZED);
        assertEquals(Ck.CKR_CRYPTOKI_ALREADY_INITIALIZED, JNI.c_Initialize(module, null));
        assertTrue(mock.last(Cryptoki.C_Initialize).initArgsNull);
    }

    @Test
    void libraryParametersAreTheAddressOfTheCallersBlock() {
        Pointer params = Pointer.getInstance("configdir='/nowhere'", false);
        try {
            mock.setInitWords(Mock.MAX_INIT_WORDS);
            assertEquals(Ck.CKR_OK, JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS_NSS(false, 0, 0, params.p)));
            assertEquals(params.p, mock.last(Cryptoki.C_Initialize).initWords[5]);
            assertEquals("configdir='/nowhere'", params.getContentAsString(false), "left as it was");
        } finally {
            params.free();
        }
    }

    /** Lacks "pReserved". */
    static final class NoReserved {
        boolean useMutexes = false;
        long flags = 9;
    }

    @Test
    void aMissingFieldIsReportedAfterTheModuleWasCalled() {
        Exception e = assertThrows(Exception.class, () -> JNI.c_Initialize(module, new NoReserved()));
        assertEquals("Can't find pReserved field in class.", e.getMessage());
        Mock.Record call = mock.last(Cryptoki.C_Initialize);
        assertNotNull(call, "C_Initialize was still called");
        assertEquals(9, call.initWords[4]);
    }

    @Test
    void mutexFunctionsWorkOnThreadsTheVirtualMachineNeverAttached() {
        assertEquals(Ck.CKR_OK, JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0)));
        assertArrayEquals(new long[4], mock.mutexCycle(false), "create, lock, unlock, destroy here");
        assertArrayEquals(new long[4], mock.mutexCycle(true), "and on a new native thread");
        int threads = 16, iterations = 20_000;
        assertEquals(0, mock.mutexStress(threads, iterations), "every callback answered CKR_OK");
        assertEquals((long) threads * iterations, mock.mutexCounter(),
                "the shared mutex kept every increment whole");
    }

    @Test
    void withoutMutexesTheModuleHasNoneToCall() {
        assertEquals(Ck.CKR_OK, JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(false, Ck.CKF_OS_LOCKING_OK, 0)));
        assertFalse(mock.hasMutexCallbacks());
        assertEquals(-1, mock.mutexStress(2, 1));
    }

    @Test
    void withoutAModuleOrWithoutTheEntryNothingIsRead() {
        // No field is read: a broken object raises nothing.
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_Initialize(0, new NoReserved()));
        mock.setEntryNull(Cryptoki.C_Initialize, true);
        int before = mock.recordCount();
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_Initialize(module, new NoReserved()));
        assertEquals(before, mock.recordCount(), "the module was not called");
        mock.setEntryNull(Cryptoki.C_Initialize, false);
    }
}
