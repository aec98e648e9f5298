package Orvalith.Bench;

import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import java.nio.charset.StandardCharsets;

/**
 * The workload through JNA calling the module's exported functions,
 * with JNA's direct mapping (static natives bound by Native.register, its
 * fast path).  Native memory is made once and reused, as in the bridge's
 * careful route; input goes in with Memory.write, output comes back with
 * getByteArray / getLongArray.
 *
 *   JnaRoute ROUTE-NAME MODULE SLOT PIN
 */
public final class JnaRoute {
    /** The module's functions; CK_ULONG and CK_RV are Java longs on the 64-bit host. */
    static final class P11 {
        static {
            Native.register(P11.class, NativeLibrary.getInstance(System.getProperty("bench.module")));
        }

        static native long C_Initialize(Pointer args);
        static native long C_Finalize(Pointer reserved);
        static native long C_OpenSession(long slot, long flags, Pointer application, Pointer notify, Pointer session);
        static native long C_CloseSession(long session);
        static native long C_Login(long session, long user, Pointer pin, long length);
        static native long C_Logout(long session);
        static native long C_GetSessionInfo(long session, Pointer info);
        static native long C_GenerateRandom(long session, Pointer out, long length);
        static native long C_DigestInit(long session, Pointer mechanism);
        static native long C_Digest(long session, Pointer in, long length, Pointer out, Pointer outLength);
        static native long C_SignInit(long session, Pointer mechanism, long key);
        static native long C_Sign(long session, Pointer in, long length, Pointer out, Pointer outLength);
        static native long C_FindObjectsInit(long session, Pointer template, long count);
        static native long C_FindObjects(long session, Pointer handles, long max, Pointer count);
        static native long C_FindObjectsFinal(long session);
    }

    /** A CK_ATTRIBUTE array of a class and a label; the value blocks live as long as the array. */
    static final class Template {
        final Memory array = new Memory(2 * Const.TRIPLE_SIZE);
        final Memory classValue = new Memory(8);
        final Memory labelValue;

        Template(long objectClass, String label) {
            byte[] text = label.getBytes(StandardCharsets.UTF_8);
            labelValue = new Memory(text.length);
            labelValue.write(0, text, 0, text.length);
            classValue.setLong(0, objectClass);
            triple(array, 0, Const.CKA_CLASS, classValue, 8);
            triple(array, Const.TRIPLE_SIZE, Const.CKA_LABEL, labelValue, text.length);
        }
    }

    static void triple(Memory m, long at, long type, Pointer p, long length) {
        m.setLong(at, type);
        m.setPointer(at + Const.TRIPLE_POINTER, p);
        m.setLong(at + Const.TRIPLE_LENGTH, length);
    }

    static Memory mechanism(long type) {
        Memory m = new Memory(Const.TRIPLE_SIZE);
        triple(m, 0, type, null, 0);
        return m;
    }

    public static void main(String[] a) throws Exception {
        Harness h = new Harness(a[0]);
        Harness.Args args = Harness.Args.parse(java.util.Arrays.copyOfRange(a, 1, a.length));
        System.setProperty("bench.module", args.module());

        Memory init = new Memory(Const.INIT_ARGS_SIZE);
        init.clear();
        init.setLong(Const.INIT_ARGS_FLAGS, Const.CKF_OS_LOCKING_OK);
        Harness.ok("C_Initialize", P11.C_Initialize(init));
        Memory cell = new Memory(8);
        Harness.ok("C_OpenSession", P11.C_OpenSession(args.slot(), Const.CKF_SERIAL_SESSION, null, null, cell));
        long session = cell.getLong(0);
        byte[] pinBytes = args.pin().getBytes(StandardCharsets.UTF_8);
        Memory pin = new Memory(pinBytes.length);
        pin.write(0, pinBytes, 0, pinBytes.length);
        Harness.ok("C_Login", P11.C_Login(session, Const.CKU_USER, pin, pinBytes.length));

        Template keyTemplate = new Template(Const.CKO_PRIVATE_KEY, Harness.KEY_LABEL);
        Memory keyHandle = new Memory(8);
        Harness.ok("C_FindObjectsInit", P11.C_FindObjectsInit(session, keyTemplate.array, 2));
        Harness.ok("C_FindObjects", P11.C_FindObjects(session, keyHandle, 1, cell));
        Harness.ok("C_FindObjectsFinal", P11.C_FindObjectsFinal(session));
        if (cell.getLong(0) != 1) {
            throw new IllegalStateException("no key labelled " + Harness.KEY_LABEL);
        }
        long key = keyHandle.getLong(0);

        Memory info = new Memory(Const.SESSION_INFO_SIZE);
        h.measure(Harness.SESSION_INFO, () -> {
            Harness.ok("C_GetSessionInfo", P11.C_GetSessionInfo(session, info));
            Harness.sink += info.getByteArray(0, Const.SESSION_INFO_SIZE)[0];
        });

        Memory random = new Memory(32);
        h.measure(Harness.RANDOM_32, () -> {
            Harness.ok("C_GenerateRandom", P11.C_GenerateRandom(session, random, 32));
            Harness.sink += random.getByteArray(0, 32)[0];
        });

        Memory sha256 = mechanism(Const.CKM_SHA256);
        Memory digest = new Memory(32);
        Memory length = new Memory(8);
        for (int size : new int[] {64, Harness.MIB}) {
            byte[] data = Harness.data(size);
            Memory in = new Memory(size);
            h.measure(size == 64 ? Harness.DIGEST_64 : Harness.DIGEST_1M, () -> {
                in.write(0, data, 0, data.length);
                Harness.ok("C_DigestInit", P11.C_DigestInit(session, sha256));
                length.setLong(0, 32);
                Harness.ok("C_Digest", P11.C_Digest(session, in, data.length, digest, length));
                Harness.sink += digest.getByteArray(0, 32)[0];
            });
        }

        Memory ecdsa = mechanism(Const.CKM_ECDSA);
        byte[] hash = Harness.data(32);
        Memory toSign = new Memory(32);
        Memory signature = new Memory(64);
        h.measure(Harness.SIGN, () -> {
            toSign.write(0, hash, 0, hash.length);
            Harness.ok("C_SignInit", P11.C_SignInit(session, ecdsa, key));
            length.setLong(0, 64);
            Harness.ok("C_Sign", P11.C_Sign(session, toSign, hash.length, signature, length));
            Harness.sink += signature.getByteArray(0, (int) length.getLong(0))[0];
        });

        Template find = new Template(Const.CKO_DATA, Harness.FIND_LABEL);
        Memory handles = new Memory(8L * Harness.FIND_ROOM);
        Memory count = new Memory(8);
        h.measure(Harness.FIND, () -> {
            Harness.ok("C_FindObjectsInit", P11.C_FindObjectsInit(session, find.array, 2));
            Harness.ok("C_FindObjects", P11.C_FindObjects(session, handles, Harness.FIND_ROOM, count));
            Harness.ok("C_FindObjectsFinal", P11.C_FindObjectsFinal(session));
            int n = (int) count.getLong(0);
            if (n != Harness.FIND_OBJECTS) {
                throw new IllegalStateException("found " + n + " objects");
            }
            Harness.sink += handles.getLongArray(0, Harness.FIND_ROOM)[0];
        });

        P11.C_Logout(session);
        P11.C_CloseSession(session);
        P11.C_Finalize(null);
    }
}
