package Orvalith.Bench;

import static java.lang.foreign.ValueLayout.ADDRESS;
import static java.lang.foreign.ValueLayout.JAVA_BYTE;
import static java.lang.foreign.ValueLayout.JAVA_LONG;

import java.lang.foreign.Arena;
import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.SymbolLookup;
import java.lang.invoke.MethodHandle;
import java.nio.charset.StandardCharsets;

/**
 * The workload through the Java foreign function API (JDK 22 and later)
 * calling the module's exported functions: one downcall handle per
 * function, held in static finals so the JIT can bind them, and native
 * segments made once and reused, as in the bridge's careful route.
 *
 *   ForeignRoute ROUTE-NAME MODULE SLOT PIN   (the module also in -Dbench.module)
 */
@SuppressWarnings("restricted")  // downcalls are what this route measures
public final class ForeignRoute {
    private static final Linker LINKER = Linker.nativeLinker();
    private static final SymbolLookup MODULE =
            SymbolLookup.libraryLookup(System.getProperty("bench.module"), Arena.global());

    private static MethodHandle function(String name, FunctionDescriptor d) {
        return LINKER.downcallHandle(MODULE.find(name).orElseThrow(), d);
    }

    private static FunctionDescriptor rv(java.lang.foreign.MemoryLayout... args) {
        return FunctionDescriptor.of(JAVA_LONG, args);
    }

    private static final MethodHandle C_Initialize = function("C_Initialize", rv(ADDRESS)),
            C_Finalize = function("C_Finalize", rv(ADDRESS)),
            C_OpenSession = function("C_OpenSession", rv(JAVA_LONG, JAVA_LONG, ADDRESS, ADDRESS, ADDRESS)),
            C_CloseSession = function("C_CloseSession", rv(JAVA_LONG)),
            C_Login = function("C_Login", rv(JAVA_LONG, JAVA_LONG, ADDRESS, JAVA_LONG)),
            C_Logout = function("C_Logout", rv(JAVA_LONG)),
            C_GetSessionInfo = function("C_GetSessionInfo", rv(JAVA_LONG, ADDRESS)),
            C_GenerateRandom = function("C_GenerateRandom", rv(JAVA_LONG, ADDRESS, JAVA_LONG)),
            C_DigestInit = function("C_DigestInit", rv(JAVA_LONG, ADDRESS)),
            C_Digest = function("C_Digest", rv(JAVA_LONG, ADDRESS, JAVA_LONG, ADDRESS, ADDRESS)),
            C_SignInit = function("C_SignInit", rv(JAVA_LONG, ADDRESS, JAVA_LONG)),
            C_Sign = function("C_Sign", rv(JAVA_LONG, ADDRESS, JAVA_LONG, ADDRESS, ADDRESS)),
            C_FindObjectsInit = function("C_FindObjectsInit", rv(JAVA_LONG, ADDRESS, JAVA_LONG)),
            C_FindObjects = function("C_FindObjects", rv(JAVA_LONG, ADDRESS, JAVA_LONG, ADDRESS)),
            C_FindObjectsFinal = function("C_FindObjectsFinal", rv(JAVA_LONG));

    private static final Arena ARENA = Arena.ofConfined();

    private static MemorySegment triple(MemorySegment m, long at, long type, MemorySegment p, long length) {
        m.set(JAVA_LONG, at, type);
        m.set(ADDRESS, at + Const.TRIPLE_POINTER, p);
        m.set(JAVA_LONG, at + Const.TRIPLE_LENGTH, length);
        return m;
    }

    private static MemorySegment template(long objectClass, String label) {
        MemorySegment classValue = ARENA.allocate(8);
        classValue.set(JAVA_LONG, 0, objectClass);
        byte[] text = label.getBytes(StandardCharsets.UTF_8);
        MemorySegment labelValue = ARENA.allocate(text.length);
        MemorySegment.copy(text, 0, labelValue, JAVA_BYTE, 0, text.length);
        MemorySegment t = ARENA.allocate(2 * Const.TRIPLE_SIZE);
        triple(t, 0, Const.CKA_CLASS, classValue, 8);
        return triple(t, Const.TRIPLE_SIZE, Const.CKA_LABEL, labelValue, text.length);
    }

    public static void main(String[] a) throws Throwable {
        Harness h = new Harness(a[0]);
        Harness.Args args = Harness.Args.parse(java.util.Arrays.copyOfRange(a, 1, a.length));

        MemorySegment init = ARENA.allocate(Const.INIT_ARGS_SIZE);
        init.set(JAVA_LONG, Const.INIT_ARGS_FLAGS, Const.CKF_OS_LOCKING_OK);
        Harness.ok("C_Initialize", (long) C_Initialize.invokeExact(init));
        MemorySegment cell = ARENA.allocate(8);
        Harness.ok("C_OpenSession", (long) C_OpenSession.invokeExact(args.slot(), Const.CKF_SERIAL_SESSION,
                MemorySegment.NULL, MemorySegment.NULL, cell));
        long session = cell.get(JAVA_LONG, 0);
        MemorySegment pin = ARENA.allocateFrom(args.pin());
        Harness.ok("C_Login", (long) C_Login.invokeExact(session, Const.CKU_USER, pin, (long) args.pin().length()));

        MemorySegment keyTemplate = template(Const.CKO_PRIVATE_KEY, Harness.KEY_LABEL);
        MemorySegment keyHandle = ARENA.allocate(8);
        Harness.ok("C_FindObjectsInit", (long) C_FindObjectsInit.invokeExact(session, keyTemplate, 2L));
        Harness.ok("C_FindObjects", (long) C_FindObjects.invokeExact(session, keyHandle, 1L, cell));
        Harness.ok("C_FindObjectsFinal", (long) C_FindObjectsFinal.invokeExact(session));
        if (cell.get(JAVA_LONG, 0) != 1) {
            throw new IllegalStateException("no key labelled " + Harness.KEY_LABEL);
        }
        long key = keyHandle.get(JAVA_LONG, 0);

        MemorySegment info = ARENA.allocate(Const.SESSION_INFO_SIZE);
        h.measure(Harness.SESSION_INFO, () -> {
            try {
                Harness.ok("C_GetSessionInfo", (long) C_GetSessionInfo.invokeExact(session, info));
            } catch (Throwable t) {
                throw new Exception(t);
            }
            Harness.sink += info.toArray(JAVA_BYTE)[0];
        });

        MemorySegment random = ARENA.allocate(32);
        h.measure(Harness.RANDOM_32, () -> {
            try {
                Harness.ok("C_GenerateRandom", (long) C_GenerateRandom.invokeExact(session, random, 32L));
            } catch (Throwable t) {
                throw new Exception(t);
            }
            Harness.sink += random.toArray(JAVA_BYTE)[0];
        });

        MemorySegment sha256 = triple(ARENA.allocate(Const.TRIPLE_SIZE), 0, Const.CKM_SHA256, MemorySegment.NULL, 0);
        MemorySegment digest = ARENA.allocate(32);
        MemorySegment length = ARENA.allocate(8);
        for (int size : new int[] {64, Harness.MIB}) {
            byte[] data = Harness.data(size);
            MemorySegment in = ARENA.allocate(size);
            h.measure(size == 64 ? Harness.DIGEST_64 : Harness.DIGEST_1M, () -> {
                MemorySegment.copy(data, 0, in, JAVA_BYTE, 0, data.length);
                try {
                    Harness.ok("C_DigestInit", (long) C_DigestInit.invokeExact(session, sha256));
                    length.set(JAVA_LONG, 0, 32);
                    Harness.ok("C_Digest", (long) C_Digest.invokeExact(session, in, (long) data.length, digest, length));
                } catch (Throwable t) {
                    throw new Exception(t);
                }
                Harness.sink += digest.toArray(JAVA_BYTE)[0];
            });
        }

        MemorySegment ecdsa = triple(ARENA.allocate(Const.TRIPLE_SIZE), 0, Const.CKM_ECDSA, MemorySegment.NULL, 0);
        byte[] hash = Harness.data(32);
        MemorySegment toSign = ARENA.allocate(32);
        MemorySegment signature = ARENA.allocate(64);
        h.measure(Harness.SIGN, () -> {
            MemorySegment.copy(hash, 0, toSign, JAVA_BYTE, 0, hash.length);
            try {
                Harness.ok("C_SignInit", (long) C_SignInit.invokeExact(session, ecdsa, key));
                length.set(JAVA_LONG, 0, 64);
                Harness.ok("C_Sign", (long) C_Sign.invokeExact(session, toSign, (long) hash.length, signature, length));
            } catch (Throwable t) {
                throw new Exception(t);
            }
            Harness.sink += signature.toArray(JAVA_BYTE)[0];
        });

        MemorySegment find = template(Const.CKO_DATA, Harness.FIND_LABEL);
        MemorySegment handles = ARENA.allocate(8L * Harness.FIND_ROOM);
        MemorySegment count = ARENA.allocate(8);
        h.measure(Harness.FIND, () -> {
            try {
                Harness.ok("C_FindObjectsInit", (long) C_FindObjectsInit.invokeExact(session, find, 2L));
                Harness.ok("C_FindObjects", (long) C_FindObjects.invokeExact(session, handles, (long) Harness.FIND_ROOM,
                        count));
                Harness.ok("C_FindObjectsFinal", (long) C_FindObjectsFinal.invokeExact(session));
            } catch (Throwable t) {
                throw new Exception(t);
            }
            long n = count.get(JAVA_LONG, 0);
            if (n != Harness.FIND_OBJECTS) {
                throw new IllegalStateException("found " + n + " objects");
            }
            Harness.sink += handles.toArray(JAVA_LONG)[0];
        });

        long ignored = (long) C_Logout.invokeExact(session);
        ignored = (long) C_CloseSession.invokeExact(session);
        ignored = (long) C_Finalize.invokeExact(MemorySegment.NULL);
    }
}
