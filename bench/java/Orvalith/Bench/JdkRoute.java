package Orvalith.Bench;

import java.nio.charset.StandardCharsets;
import sun.security.pkcs11.wrapper.CK_ATTRIBUTE;
import sun.security.pkcs11.wrapper.CK_C_INITIALIZE_ARGS;
import sun.security.pkcs11.wrapper.CK_MECHANISM;
import sun.security.pkcs11.wrapper.PKCS11;

/**
 * The workload through the JDK's own Cryptoki wrapper classes.  They take
 * and give Java objects and arrays and convert them at every call; a
 * failure arrives as an exception.  Digesting is one native there
 * (C_DigestSingle runs C_DigestInit and C_Digest).
 *
 *   JdkRoute ROUTE-NAME MODULE SLOT PIN
 */
public final class JdkRoute {
    public static void main(String[] a) throws Exception {
        Harness h = new Harness(a[0]);
        Harness.Args args = Harness.Args.parse(java.util.Arrays.copyOfRange(a, 1, a.length));

        CK_C_INITIALIZE_ARGS init = new CK_C_INITIALIZE_ARGS();
        init.flags = Const.CKF_OS_LOCKING_OK;
        PKCS11 p11 = PKCS11.getInstance(args.module(), "C_GetFunctionList", init, false);
        long session = p11.C_OpenSession(args.slot(), Const.CKF_SERIAL_SESSION, null, null);
        p11.C_Login(session, Const.CKU_USER, args.pin().toCharArray());

        p11.C_FindObjectsInit(session, template(Const.CKO_PRIVATE_KEY, Harness.KEY_LABEL));
        long[] keys = p11.C_FindObjects(session, 1);
        p11.C_FindObjectsFinal(session);
        if (keys.length != 1) {
            throw new IllegalStateException("no key labelled " + Harness.KEY_LABEL);
        }
        long key = keys[0];

        h.measure(Harness.SESSION_INFO, () -> Harness.sink += p11.C_GetSessionInfo(session).state);

        h.measure(Harness.RANDOM_32, () -> {
            byte[] random = new byte[32];
            p11.C_GenerateRandom(session, random);
            Harness.sink += random[0];
        });

        CK_MECHANISM sha256 = new CK_MECHANISM(Const.CKM_SHA256);
        for (int size : new int[] {64, Harness.MIB}) {
            byte[] data = Harness.data(size);
            h.measure(size == 64 ? Harness.DIGEST_64 : Harness.DIGEST_1M, () -> {
                byte[] digest = new byte[32];
                p11.C_DigestSingle(session, sha256, data, 0, data.length, digest, 0, digest.length);
                Harness.sink += digest[0];
            });
        }

        CK_MECHANISM ecdsa = new CK_MECHANISM(Const.CKM_ECDSA);
        byte[] hash = Harness.data(32);
        h.measure(Harness.SIGN, () -> {
            p11.C_SignInit(session, ecdsa, key);
            Harness.sink += p11.C_Sign(session, hash)[0];
        });

        CK_ATTRIBUTE[] find = template(Const.CKO_DATA, Harness.FIND_LABEL);
        h.measure(Harness.FIND, () -> {
            p11.C_FindObjectsInit(session, find);
            long[] found = p11.C_FindObjects(session, Harness.FIND_ROOM);
            p11.C_FindObjectsFinal(session);
            if (found.length != Harness.FIND_OBJECTS) {
                throw new IllegalStateException("found " + found.length + " objects");
            }
            Harness.sink += found[0];
        });

        p11.C_Logout(session);
        p11.C_CloseSession(session);
    }

    private static CK_ATTRIBUTE[] template(long objectClass, String label) {
        return new CK_ATTRIBUTE[] {new CK_ATTRIBUTE(Const.CKA_CLASS, objectClass),
            new CK_ATTRIBUTE(Const.CKA_LABEL, label.getBytes(StandardCharsets.UTF_8))};
    }
}
