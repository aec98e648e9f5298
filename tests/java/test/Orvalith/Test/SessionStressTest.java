package Orvalith.Test;

import static Orvalith.Test.Ck.attr;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck.Mechanism;
import Orvalith.Test.Ck.Template;
import java.lang.ref.WeakReference;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Queue;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Many threads on one software token at once: sixteen sign, digest and
 * draw random bytes in sessions of their own, the JDK checking every
 * result, while others open and close sessions with notification objects
 * on a second token of the same module and close all of its sessions.
 * Nothing may fail, the virtual machine must neither crash nor warn, and
 * once every session has ended every notification object is collectable.
 */
class SessionStressTest {
    static final String SO_PIN = "10293847", USER_PIN = "5647382910";
    static final long FLAGS = Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION;
    static final int WORKERS = 16, ROUNDS = 12, CHURNERS = 3;

    static long module;
    static long workSlot, churnSlot;
    static long loginSession;

    /** A notification object; the token sends none, the bridge must still let it go. */
    public static final class Listener {
        public long callback(long session, long event, Object application) {
            return Ck.CKR_OK;
        }
    }

    @BeforeAll
    static void twoTokens() throws Exception {
        SoftHsmTest.freshTokenFolder();
        module = JNI.loadExternalModule(Paths.module("orvjni.module.softhsm2"));
        assertNotEquals(0, module);
        Rv.ok(JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0)), "initialise with mutexes");
        workSlot = initToken("orvjni stress work");
        churnSlot = initToken("orvjni stress churn");
        assertNotEquals(workSlot, churnSlot);
        loginSession = open(workSlot, null, null);
        Pointer pin = Ck.block(USER_PIN);
        try {
            Rv.ok(JNI.c_Login(module, loginSession, Ck.CKU_USER, pin, USER_PIN.length()), "user login");
        } finally {
            pin.free();
        }
    }

    @AfterAll
    static void finish() {
        if (module == 0) {
            return;
        }
        try {
            Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize");
        } finally {
            JNI.unloadExternalModule(module);
            module = 0;
        }
    }

    /** Initialises the token of the first free slot, with a user PIN; its slot. */
    static long initToken(String label) {
        long[] count = {0};
        Rv.ok(JNI.c_GetSlotList(module, false, null, count), "slot count");
        Pointer list = Ck.ulongs((int) count[0]);
        long[] slots;
        try {
            Rv.ok(JNI.c_GetSlotList(module, false, list, count), "slot list");
            slots = Ck.ulongs(list, count[0]);
        } finally {
            list.free();
        }
        long slot = Arrays.stream(slots)
                .filter(id -> (tokenFlags(id) & Ck.CKF_TOKEN_INITIALIZED) == 0)
                .findFirst().orElseThrow();
        Pointer soPin = Ck.block(SO_PIN), name = Ck.block(Ck.padded(label, 32)), userPin = Ck.block(USER_PIN);
        try {
            Rv.ok(JNI.c_InitToken(module, slot, soPin, SO_PIN.length(), name), "c_InitToken " + label);
            long so = open(slot, null, null);
            Rv.ok(JNI.c_Login(module, so, Ck.CKU_SO, soPin, SO_PIN.length()), "SO login");
            Rv.ok(JNI.c_InitPIN(module, so, userPin, USER_PIN.length()), "c_InitPIN");
            Rv.ok(JNI.c_CloseSession(module, so), "close the SO session");
        } finally {
            soPin.free();
            name.free();
            userPin.free();
        }
        return slot;
    }

    static long tokenFlags(long slot) {
        Pointer info = Pointer.getInstance(Ck.TokenInfo.SIZE);
        try {
            Rv.ok(JNI.c_GetTokenInfo(module, slot, info), "c_GetTokenInfo");
            return Ck.TokenInfo.read(info).flags();
        } finally {
            info.free();
        }
    }

    static long open(long slot, Object application, Object callback) {
        long[] cell = {-1};
        Rv.ok(JNI.c_OpenSession(module, slot, FLAGS, application, callback, cell), "c_OpenSession");
        return cell[0];
    }

    static byte[] attribute(long session, long object, long type) {
        return Attributes.read(module, session, object, type);
    }

    /** Runs a single-part operation with the output length known in advance. */
    interface Op {
        long run(Pointer in, long inLength, Pointer out, long[] outLength);
    }

    static byte[] once(Op op, byte[] input, int outLength, String what) {
        Pointer in = Ck.block(input), out = Pointer.getInstance(outLength);
        try {
            long[] length = {outLength};
            Rv.ok(op.run(in, input.length, out, length), what);
            return Ck.read(out, 0, (int) length[0]);
        } finally {
            in.free();
            out.free();
        }
    }

    /** One worker: a session of its own, a P-256 key pair in it, then rounds of work checked by the JDK. */
    static void work(int index, List<WeakReference<Object>> listeners, CountDownLatch opened) throws Exception {
        Listener listener = new Listener();
        listeners.add(new WeakReference<>(listener));
        long session;
        try {
            session = open(workSlot, "worker " + index, listener);
        } finally {
            opened.countDown();
        }
        long[] pub = {-1}, priv = {-1};
        try (Mechanism gen = Mechanism.of(Ck.CKM_EC_KEY_PAIR_GEN);
                Template p = new Template(attr(Ck.CKA_EC_PARAMS, SoftHsmTest.P256), attr(Ck.CKA_TOKEN, false),
                        attr(Ck.CKA_VERIFY, true));
                Template s = new Template(attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_PRIVATE, true),
                        attr(Ck.CKA_SENSITIVE, true), attr(Ck.CKA_SIGN, true))) {
            Rv.ok(JNI.c_GenerateKeyPair(module, session, gen.block, p.block, p.count(), s.block, s.count(), pub,
                    priv), "c_GenerateKeyPair");
        }
        byte[] der = attribute(session, pub[0], Ck.CKA_EC_POINT);
        PublicKey key = SoftHsmTest.jdkEcKey(Arrays.copyOfRange(der, 2, der.length));
        Random random = new Random(index);
        byte[] lastDraw = null;
        for (int round = 0; round < ROUNDS; round++) {
            byte[] data = new byte[1 + random.nextInt(300)];
            random.nextBytes(data);

            try (Mechanism sha = Mechanism.of(Ck.CKM_SHA256)) {
                Rv.ok(JNI.c_DigestInit(module, session, sha.block), "c_DigestInit");
            }
            byte[] hash = once((in, n, out, len) -> JNI.c_Digest(module, session, in, n, out, len), data, 32,
                    "c_Digest");
            assertArrayEquals(MessageDigest.getInstance("SHA-256").digest(data), hash, "the JDK's digest");

            try (Mechanism ecdsa = Mechanism.of(Ck.CKM_ECDSA)) {
                Rv.ok(JNI.c_SignInit(module, session, ecdsa.block, priv[0]), "c_SignInit");
            }
            byte[] signature = once((in, n, out, len) -> JNI.c_Sign(module, session, in, n, out, len), hash, 64,
                    "c_Sign");
            Signature jdk = Signature.getInstance("SHA256withECDSAinP1363Format");
            jdk.initVerify(key);
            jdk.update(data);
            assertTrue(jdk.verify(signature), "the JDK accepts the token's signature");

            Pointer draw = Pointer.getInstance(32);
            try {
                Pointer.copy(new byte[32], 0, draw, 0, 32);
                Rv.ok(JNI.c_GenerateRandom(module, session, draw, 32), "c_GenerateRandom");
                byte[] bytes = draw.getContent();
                assertTrue(!Arrays.equals(new byte[32], bytes) && !Arrays.equals(lastDraw, bytes), "fresh bytes");
                lastDraw = bytes;
            } finally {
                draw.free();
            }
        }
        Rv.ok(JNI.c_CloseSession(module, session), "c_CloseSession");
    }

    /** Opens and closes sessions with notification objects, one by one and all at once, until told to stop. */
    static long churn(int index, AtomicBoolean stop, List<WeakReference<Object>> listeners) {
        long rounds = 0;
        long[] cell = {-1};
        while (!stop.get()) {
            Listener listener = new Listener();
            listeners.add(new WeakReference<>(listener));
            long rv = JNI.c_OpenSession(module, churnSlot, FLAGS, "churn " + index, listener, cell);
            // The token may lose a session it is opening to another thread's
            // close-all; the bridge then ends the context as for any failed open.
            if (rv == Ck.CKR_SESSION_HANDLE_INVALID) {
                continue;
            }
            Rv.ok(rv, "c_OpenSession on the churned token");
            if (rounds % 5 == 4) {
                Rv.ok(JNI.c_CloseAllSessions(module, churnSlot), "c_CloseAllSessions");
            } else {
                // Another thread's close-all may have come first.
                long closed = JNI.c_CloseSession(module, cell[0]);
                assertTrue(closed == Ck.CKR_OK || closed == Ck.CKR_SESSION_HANDLE_INVALID, Ck.rv(closed));
            }
            rounds++;
        }
        return rounds;
    }

    @Test
    void sixteenWorkersWhileOthersOpenCloseAndCloseAll() throws Exception {
        Queue<Throwable> failures = new ConcurrentLinkedQueue<>();
        List<WeakReference<Object>> listeners = java.util.Collections.synchronizedList(new ArrayList<>());
        AtomicBoolean stop = new AtomicBoolean();
        AtomicLong churned = new AtomicLong();
        // Churners start once every worker has its session: a handle that a
        // close-all freed and another open got again is then never a worker's.
        CountDownLatch opened = new CountDownLatch(WORKERS);
        List<Thread> workers = new ArrayList<>(), churners = new ArrayList<>();
        for (int i = 0; i < WORKERS; i++) {
            int index = i;
            workers.add(new Thread(() -> {
                try {
                    work(index, listeners, opened);
                } catch (Throwable t) {
                    failures.add(t);
                }
            }, "worker " + i));
        }
        for (int i = 0; i < CHURNERS; i++) {
            int index = i;
            churners.add(new Thread(() -> {
                try {
                    churned.addAndGet(churn(index, stop, listeners));
                } catch (Throwable t) {
                    failures.add(t);
                }
            }, "churner " + i));
        }
        workers.forEach(Thread::start);
        opened.await();
        churners.forEach(Thread::start);
        for (Thread t : workers) {
            t.join();
        }
        stop.set(true);
        for (Thread t : churners) {
            t.join();
        }
        Rv.ok(JNI.c_CloseAllSessions(module, churnSlot), "the last close-all");
        if (!failures.isEmpty()) {
            Throwable first = failures.peek();
            failures.stream().skip(1).forEach(first::addSuppressed);
            throw new AssertionError(failures.size() + " threads failed", first);
        }
        System.out.println("session stress: " + WORKERS + " workers of " + ROUNDS + " rounds, " + churned.get()
                + " sessions churned");
        assertTrue(churned.get() > 0, "the churners got to work");

        // Every session ended, so the bridge holds none of the objects any more.
        long alive = listeners.size();
        for (int attempt = 0; attempt < 50 && alive > 0; attempt++) {
            System.gc();
            Thread.sleep(20);
            alive = listeners.stream().filter(r -> r.get() != null).count();
        }
        assertEquals(0, alive, "notification objects still reachable, of " + listeners.size());
    }
}
