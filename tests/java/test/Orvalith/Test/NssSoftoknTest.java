package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The NSS software token initialised through the NSS-style argument
 * object: its parameter string (a database folder of the test's own) lies
 * in a block whose address is "LibraryParams".
 */
class NssSoftoknTest {
    private Path folder;
    private Pointer params;
    private long module;

    @BeforeEach
    void load() throws IOException {
        folder = Files.createTempDirectory("orvjni-nss-");
        params = Pointer.getInstance("configdir='sql:" + folder + "' certPrefix='' keyPrefix='' secmod='' "
                + "flags=noModDB", false);
        module = JNI.loadExternalModule(Paths.module("orvjni.module.softokn"));
        assertNotEquals(0, module);
    }

    @AfterEach
    void unload() throws IOException {
        JNI.unloadExternalModule(module);
        params.free();
        try (Stream<Path> all = Files.walk(folder)) {
            for (Path p : all.sorted(Comparator.reverseOrder()).toList()) {
                Files.delete(p);
            }
        }
    }

    /** What an initialised softokn shows: its info and its two slots, each with a token. */
    private void assertWorking() {
        Pointer info = Pointer.getInstance(Ck.Info.SIZE);
        Pointer tokenInfo = Pointer.getInstance(Ck.TokenInfo.SIZE);
        try {
            Rv.ok(JNI.c_GetInfo(module, info), "c_GetInfo");
            assertEquals(2, Ck.Info.read(info).cryptokiMajor());
            long[] count = {0};
            Rv.ok(JNI.c_GetSlotList(module, true, null, count), "slots with a token");
            assertTrue(count[0] >= 2, "the crypto services and the database: " + count[0]);
            Pointer list = Ck.ulongs((int) count[0]);
            try {
                Rv.ok(JNI.c_GetSlotList(module, true, list, count), "c_GetSlotList");
                for (long slot : Ck.ulongs(list, count[0])) {
                    Rv.ok(JNI.c_GetTokenInfo(module, slot, tokenInfo), "c_GetTokenInfo");
                    assertTrue(!Ck.TokenInfo.read(tokenInfo).label().isEmpty());
                }
            } finally {
                list.free();
            }
        } finally {
            info.free();
            tokenInfo.free();
        }
    }

    @Test
    void initialisesWithoutMutexesAndFinalises() throws IOException {
        Rv.ok(JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS_NSS(false, 0, 0, params.p)), "c_Initialize");
        assertWorking();
        try (Stream<Path> files = Files.list(folder)) {
            assertTrue(files.anyMatch(f -> f.getFileName().toString().endsWith(".db")),
                    "the databases were made in the folder from the parameters");
        }
        Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize");
    }

    @Test
    void initialisesWithMutexesAndFinalisesAgainAndAgain() {
        for (int round = 0; round < 3; round++) {
            Rv.ok(JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS_NSS(true, Ck.CKF_OS_LOCKING_OK, 0, params.p)),
                    "c_Initialize, round " + round);
            assertWorking();
            Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize, round " + round);
        }
    }

    /**
     * Softokn locks only with the system's primitives: given mutex functions
     * and no permission to use its own, it refuses.  That it refuses shows
     * that the four functions reached it.
     */
    @Test
    void mutexesWithoutOsLockingAreRefusedByTheModule() {
        Rv.expect(Ck.CKR_CANT_LOCK, JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS_NSS(true, 0, 0, params.p)),
                "mutex functions only");
        Rv.ok(JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS_NSS(false, 0, 0, params.p)), "then without");
        Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize");
    }
}
