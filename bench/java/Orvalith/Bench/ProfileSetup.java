package Orvalith.Bench;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck;
import Orvalith.Test.Ck.Mechanism;
import Orvalith.Test.Ck.Template;

/**
 * The careful route's session and blocks, made ready for the profile
 * driver, which reads these fields and then calls the bridge's natives
 * itself, in a loop, with the JVM's own JNIEnv.
 */
public final class ProfileSetup {
    private ProfileSetup() {
    }

    public static long module, session, key, templateCount;
    public static Pointer info, random, data, digest, sha256, hash, signature, ecdsa, template, handles;
    public static long[] length = {0}, count = {0};
    public static byte[] input = Harness.data(64);

    public static void open(String modulePath, long slot, String pin) {
        module = JNI.loadExternalModule(modulePath);
        Harness.ok("C_Initialize",
                JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(false, Ck.CKF_OS_LOCKING_OK, 0)));
        long[] cell = {0};
        Harness.ok("C_OpenSession", JNI.c_OpenSession(module, slot, Ck.CKF_SERIAL_SESSION, null, null, cell));
        session = cell[0];
        Pointer pinBlock = Ck.block(pin);
        Harness.ok("C_Login", JNI.c_Login(module, session, Ck.CKU_USER, pinBlock, pin.length()));
        pinBlock.free();

        Template keyTemplate = new Template(Ck.ulongAttr(Ck.CKA_CLASS, Ck.CKO_PRIVATE_KEY),
                Ck.attr(Ck.CKA_LABEL, Harness.KEY_LABEL));
        Pointer keyHandle = Ck.ulongs(1);
        Harness.ok("C_FindObjectsInit", JNI.c_FindObjectsInit(module, session, keyTemplate.block, keyTemplate.count()));
        Harness.ok("C_FindObjects", JNI.c_FindObjects(module, session, keyHandle, 1, cell));
        Harness.ok("C_FindObjectsFinal", JNI.c_FindObjectsFinal(module, session));
        key = Ck.ulongs(keyHandle, 1)[0];
        keyTemplate.close();
        keyHandle.free();

        info = Pointer.getInstance(Ck.SessionInfo.SIZE);
        random = Pointer.getInstance(32);
        data = Ck.block(input);
        digest = Pointer.getInstance(32);
        sha256 = Mechanism.of(Ck.CKM_SHA256).block;
        hash = Ck.block(Harness.data(32));
        signature = Pointer.getInstance(64);
        ecdsa = Mechanism.of(Ck.CKM_ECDSA).block;
        Template find = new Template(Ck.ulongAttr(Ck.CKA_CLASS, Ck.CKO_DATA), Ck.attr(Ck.CKA_LABEL, Harness.FIND_LABEL));
        template = find.block;
        templateCount = find.count();
        handles = Ck.ulongs(Harness.FIND_ROOM);
    }
}
