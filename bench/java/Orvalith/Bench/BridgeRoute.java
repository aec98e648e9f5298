package Orvalith.Bench;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck;
import Orvalith.Test.Ck.Mechanism;
import Orvalith.Test.Ck.Template;

/**
 * The workload through the bridge, the two ways a Java caller may hold it:
 *
 *   careful  every block, mechanism, template and cell made once and reused;
 *   naive    fresh blocks (and so fresh mechanisms and templates) per call,
 *            freed right after it.
 *
 * Both take their input from a Java byte[] and deliver their output as a
 * Java array, as the other routes do: input goes in with Pointer.copy, the
 * result comes back with getContent or getNativeArrayAsLongs.
 *
 *   BridgeRoute careful|naive ROUTE-NAME MODULE SLOT PIN
 */
public final class BridgeRoute {
    private final long module;
    private final long session;
    private final long key;

    private BridgeRoute(Harness.Args a) {
        module = JNI.loadExternalModule(a.module());
        if (module == 0) {
            throw new IllegalStateException("cannot open " + a.module());
        }
        Harness.ok("C_Initialize",
                JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(false, Ck.CKF_OS_LOCKING_OK, 0)));
        long[] cell = {0};
        Harness.ok("C_OpenSession", JNI.c_OpenSession(module, a.slot(), Ck.CKF_SERIAL_SESSION, null, null, cell));
        session = cell[0];
        Pointer pin = Ck.block(a.pin());
        Harness.ok("C_Login", JNI.c_Login(module, session, Ck.CKU_USER, pin, a.pin().length()));
        pin.free();
        key = findOne(Ck.CKO_PRIVATE_KEY, Harness.KEY_LABEL);
    }

    private long findOne(long objectClass, String label) {
        try (Template t = new Template(Ck.ulongAttr(Ck.CKA_CLASS, objectClass), Ck.attr(Ck.CKA_LABEL, label))) {
            Pointer handle = Ck.ulongs(1);
            long[] count = {0};
            Harness.ok("C_FindObjectsInit", JNI.c_FindObjectsInit(module, session, t.block, t.count()));
            Harness.ok("C_FindObjects", JNI.c_FindObjects(module, session, handle, 1, count));
            Harness.ok("C_FindObjectsFinal", JNI.c_FindObjectsFinal(module, session));
            if (count[0] != 1) {
                throw new IllegalStateException("no object labelled " + label);
            }
            long h = Ck.ulongs(handle, 1)[0];
            handle.free();
            return h;
        }
    }

    private static Template findTemplate() {
        return new Template(Ck.ulongAttr(Ck.CKA_CLASS, Ck.CKO_DATA), Ck.attr(Ck.CKA_LABEL, Harness.FIND_LABEL));
    }

    private static void checkFound(long count) {
        if (count != Harness.FIND_OBJECTS) {
            throw new IllegalStateException("found " + count + " objects");
        }
    }

    private void careful(Harness h) throws Exception {
        Pointer info = Pointer.getInstance(Ck.SessionInfo.SIZE);
        h.measure(Harness.SESSION_INFO, () -> {
            Harness.ok("C_GetSessionInfo", JNI.c_GetSessionInfo(module, session, info));
            Harness.sink += info.getContent()[0];
        });

        Pointer random = Pointer.getInstance(32);
        h.measure(Harness.RANDOM_32, () -> {
            Harness.ok("C_GenerateRandom", JNI.c_GenerateRandom(module, session, random, 32));
            Harness.sink += random.getContent()[0];
        });

        Mechanism sha256 = Mechanism.of(Ck.CKM_SHA256);
        Pointer digest = Pointer.getInstance(32);
        long[] length = {0};
        for (int size : new int[] {64, Harness.MIB}) {
            byte[] data = Harness.data(size);
            Pointer in = Pointer.getInstance(size);
            h.measure(size == 64 ? Harness.DIGEST_64 : Harness.DIGEST_1M, () -> {
                Pointer.copy(data, 0, in, 0, data.length);
                Harness.ok("C_DigestInit", JNI.c_DigestInit(module, session, sha256.block));
                length[0] = 32;
                Harness.ok("C_Digest", JNI.c_Digest(module, session, in, data.length, digest, length));
                Harness.sink += digest.getContent()[0];
            });
            in.free();
        }

        Mechanism ecdsa = Mechanism.of(Ck.CKM_ECDSA);
        byte[] hash = Harness.data(32);
        Pointer toSign = Pointer.getInstance(32);
        Pointer signature = Pointer.getInstance(64);
        h.measure(Harness.SIGN, () -> {
            Pointer.copy(hash, 0, toSign, 0, hash.length);
            Harness.ok("C_SignInit", JNI.c_SignInit(module, session, ecdsa.block, key));
            length[0] = 64;
            Harness.ok("C_Sign", JNI.c_Sign(module, session, toSign, hash.length, signature, length));
            Harness.sink += signature.getContent()[0];
        });

        Template template = findTemplate();
        Pointer handles = Ck.ulongs(Harness.FIND_ROOM);
        long[] count = {0};
        h.measure(Harness.FIND, () -> {
            Harness.ok("C_FindObjectsInit", JNI.c_FindObjectsInit(module, session, template.block, template.count()));
            Harness.ok("C_FindObjects", JNI.c_FindObjects(module, session, handles, Harness.FIND_ROOM, count));
            Harness.ok("C_FindObjectsFinal", JNI.c_FindObjectsFinal(module, session));
            checkFound(count[0]);
            Harness.sink += handles.getNativeArrayAsLongs()[0];
        });
    }

    private void naive(Harness h) throws Exception {
        h.measure(Harness.SESSION_INFO, () -> {
            Pointer info = Pointer.getInstance(Ck.SessionInfo.SIZE);
            Harness.ok("C_GetSessionInfo", JNI.c_GetSessionInfo(module, session, info));
            Harness.sink += info.getContent()[0];
            info.free();
        });

        h.measure(Harness.RANDOM_32, () -> {
            Pointer random = Pointer.getInstance(32);
            Harness.ok("C_GenerateRandom", JNI.c_GenerateRandom(module, session, random, 32));
            Harness.sink += random.getContent()[0];
            random.free();
        });

        for (int size : new int[] {64, Harness.MIB}) {
            byte[] data = Harness.data(size);
            h.measure(size == 64 ? Harness.DIGEST_64 : Harness.DIGEST_1M, () -> {
                try (Mechanism sha256 = Mechanism.of(Ck.CKM_SHA256)) {
                    Pointer in = Ck.block(data);
                    Pointer digest = Pointer.getInstance(32);
                    long[] length = {32};
                    Harness.ok("C_DigestInit", JNI.c_DigestInit(module, session, sha256.block));
                    Harness.ok("C_Digest", JNI.c_Digest(module, session, in, data.length, digest, length));
                    Harness.sink += digest.getContent()[0];
                    digest.free();
                    in.free();
                }
            });
        }

        byte[] hash = Harness.data(32);
        h.measure(Harness.SIGN, () -> {
            try (Mechanism ecdsa = Mechanism.of(Ck.CKM_ECDSA)) {
                Pointer toSign = Ck.block(hash);
                Pointer signature = Pointer.getInstance(64);
                long[] length = {64};
                Harness.ok("C_SignInit", JNI.c_SignInit(module, session, ecdsa.block, key));
                Harness.ok("C_Sign", JNI.c_Sign(module, session, toSign, hash.length, signature, length));
                Harness.sink += signature.getContent()[0];
                signature.free();
                toSign.free();
            }
        });

        h.measure(Harness.FIND, () -> {
            try (Template template = findTemplate()) {
                Pointer handles = Ck.ulongs(Harness.FIND_ROOM);
                long[] count = {0};
                Harness.ok("C_FindObjectsInit", JNI.c_FindObjectsInit(module, session, template.block,
                        template.count()));
                Harness.ok("C_FindObjects", JNI.c_FindObjects(module, session, handles, Harness.FIND_ROOM, count));
                Harness.ok("C_FindObjectsFinal", JNI.c_FindObjectsFinal(module, session));
                checkFound(count[0]);
                Harness.sink += handles.getNativeArrayAsLongs()[0];
                handles.free();
            }
        });
    }

    private void close() {
        JNI.c_Logout(module, session);
        JNI.c_CloseSession(module, session);
        JNI.c_Finalize(module, 0);
        JNI.unloadExternalModule(module);
    }

    public static void main(String[] a) throws Exception {
        String mode = a[0];
        Harness h = new Harness(a[1]);
        BridgeRoute r = new BridgeRoute(Harness.Args.parse(java.util.Arrays.copyOfRange(a, 2, a.length)));
        switch (mode) {
            case "careful" -> r.careful(h);
            case "naive" -> r.naive(h);
            default -> throw new IllegalArgumentException("careful or naive, not " + mode);
        }
        r.close();
    }
}
