package Orvalith.Bench;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck;
import Orvalith.Test.Ck.Mechanism;
import Orvalith.Test.Ck.Template;
import java.nio.charset.StandardCharsets;
import java.util.HexFormat;

/**
 * Fills a freshly initialised token with what the routes work on: an EC
 * P-256 key pair and FIND_OBJECTS data objects under one label, all token
 * objects so that every route's process finds them.  Prints the slot ID of
 * the token with the given label.
 *
 *   Setup MODULE TOKEN-LABEL PIN
 */
public final class Setup {
    private static final byte[] P256 = HexFormat.of().parseHex("06082a8648ce3d030107");

    public static void main(String[] a) {
        String modulePath = a[0], label = a[1], pin = a[2];
        long module = JNI.loadExternalModule(modulePath);
        if (module == 0) {
            throw new IllegalStateException("cannot open " + modulePath);
        }
        Harness.ok("C_Initialize", JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(false, Ck.CKF_OS_LOCKING_OK, 0)));
        long slot = findSlot(module, label);

        long[] cell = {0};
        Harness.ok("C_OpenSession", JNI.c_OpenSession(module, slot, Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION, null,
                null, cell));
        long session = cell[0];
        Pointer pinBlock = Ck.block(pin);
        Harness.ok("C_Login", JNI.c_Login(module, session, Ck.CKU_USER, pinBlock, pin.length()));

        try (Mechanism gen = Mechanism.of(Ck.CKM_EC_KEY_PAIR_GEN);
                Template pub = new Template(Ck.attr(Ck.CKA_EC_PARAMS, P256), Ck.attr(Ck.CKA_TOKEN, true),
                        Ck.attr(Ck.CKA_VERIFY, true), Ck.attr(Ck.CKA_LABEL, Harness.KEY_LABEL));
                Template priv = new Template(Ck.attr(Ck.CKA_TOKEN, true), Ck.attr(Ck.CKA_PRIVATE, true),
                        Ck.attr(Ck.CKA_SENSITIVE, true), Ck.attr(Ck.CKA_SIGN, true),
                        Ck.attr(Ck.CKA_LABEL, Harness.KEY_LABEL))) {
            long[] pubKey = {0}, privKey = {0};
            Harness.ok("C_GenerateKeyPair", JNI.c_GenerateKeyPair(module, session, gen.block, pub.block, pub.count(),
                    priv.block, priv.count(), pubKey, privKey));
        }
        for (int i = 0; i < Harness.FIND_OBJECTS; i++) {
            try (Template data = new Template(Ck.ulongAttr(Ck.CKA_CLASS, Ck.CKO_DATA), Ck.attr(Ck.CKA_TOKEN, true),
                    Ck.attr(Ck.CKA_LABEL, Harness.FIND_LABEL),
                    Ck.attr(Ck.CKA_VALUE, ("object " + i).getBytes(StandardCharsets.UTF_8)))) {
                long[] handle = {0};
                Harness.ok("C_CreateObject", JNI.c_CreateObject(module, session, data.block, data.count(), handle));
            }
        }
        JNI.c_Logout(module, session);
        JNI.c_CloseSession(module, session);
        pinBlock.free();
        JNI.c_Finalize(module, 0);
        JNI.unloadExternalModule(module);
        System.out.println(slot);
    }

    private static long findSlot(long module, String label) {
        long[] count = {0};
        Harness.ok("C_GetSlotList", JNI.c_GetSlotList(module, true, null, count));
        Pointer list = Ck.ulongs((int) count[0]);
        Harness.ok("C_GetSlotList", JNI.c_GetSlotList(module, true, list, count));
        Pointer info = Pointer.getInstance(Ck.TokenInfo.SIZE);
        try {
            for (long id : Ck.ulongs(list, count[0])) {
                if (JNI.c_GetTokenInfo(module, id, info) == Ck.CKR_OK && Ck.TokenInfo.read(info).label().equals(label)) {
                    return id;
                }
            }
        } finally {
            info.free();
            list.free();
        }
        throw new IllegalStateException("no token labelled " + label);
    }
}
