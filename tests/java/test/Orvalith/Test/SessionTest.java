package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.LongUnaryOperator;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/**
 * c_OpenSession and the notifications that the module sends for a session:
 * during the call, afterwards from any thread, and none once the session
 * has ended, however it ended.
 */
class SessionTest {
    private static final long SLOT = 3, OTHER_SLOT = 4;
    private static final long FLAGS = Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION;

    private Mock mock;
    private long module;

    @BeforeEach
    void load() {
        mock = Mock.open(Paths.mock("orvjni.mock"));
        mock.reset();
        module = JNI.loadExternalModule(mock.path());
        assertNotEquals(0, module);
        assertEquals(Ck.CKR_OK, JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0)));
    }

    @AfterEach
    void unload() {
        mock.notifyStressStop();
        JNI.c_Finalize(module, 0);
        JNI.unloadExternalModule(module);
        mock.close();
    }

    /** What one notification brought to Java. */
    record Seen(long session, long event, Object application, Thread thread) {
    }

    /** Records every notification and answers what answer gives for the event. */
    static class Listener {
        final List<Seen> seen = new CopyOnWriteArrayList<>();
        final LongUnaryOperator answer;

        Listener(LongUnaryOperator answer) {
            this.answer = answer;
        }

        Listener() {
            this(event -> Ck.CKR_OK);
        }

        public long callback(long session, long event, Object application) {
            seen.add(new Seen(session, event, application, Thread.currentThread()));
            return answer.applyAsLong(event);
        }
    }

    /** Throws from its method: what becomes of the exception depends on where the module notified. */
    static final class Thrower extends Listener {
        @Override
        public long callback(long session, long event, Object application) {
            super.callback(session, event, application);
            throw new IllegalStateException("thrown by the notification method");
        }
    }

    private long open(long slot, Object application, Object callback) {
        long[] session = {-1};
        assertEquals(Ck.CKR_OK, JNI.c_OpenSession(module, slot, FLAGS, application, callback, session));
        return session[0];
    }

    @Test
    void aNotificationDuringOpenReachesTheMethodWithTheVeryApplicationObject() {
        Object application = new Object();
        Listener listener = new Listener(event -> 0x1234 + event);
        mock.setNextSession(0xFFFF_FFF0L);
        mock.setOpenNotify(true, 7);
        long handle = open(SLOT, application, listener);

        assertEquals(0xFFFF_FFF0L, handle, "a 32-bit handle stays positive");
        assertEquals(1, listener.seen.size());
        Seen s = listener.seen.get(0);
        assertEquals(handle, s.session());
        assertEquals(7, s.event());
        assertSame(application, s.application());
        assertSame(Thread.currentThread(), s.thread(), "on the thread of c_OpenSession");
        assertEquals(1, mock.openNotifyCount());
        assertEquals(0x1234 + 7, mock.openNotifyResult(), "the method's result is what the module sees");

        Mock.Record call = mock.last(Cryptoki.C_OpenSession);
        assertEquals(SLOT, call.value[0]);
        assertEquals(FLAGS, call.value[1]);
        assertEquals(mock.sessionStored(handle)[0], call.value[2], "pApplication is kept by the module");
        assertNotEquals(0, call.value[3], "a Notify function is always given");
    }

    @Test
    void anExceptionThrownDuringOpenReachesTheCaller() {
        Thrower thrower = new Thrower();
        mock.setOpenNotify(true, Ck.CKN_SURRENDER);
        long[] session = {-1};
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> JNI.c_OpenSession(module, SLOT, FLAGS, null, thrower, session));
        assertEquals("thrown by the notification method", e.getMessage());
        assertEquals(Mock.FIRST_SESSION_HANDLE, session[0], "the cell was written all the same");
        assertEquals(1, thrower.seen.size());
    }

    @Test
    void notificationsAfterOpenReachTheMethodFromThisAndFromNewThreads() {
        Object application = "application";
        Listener listener = new Listener(event -> event * 2);
        long handle = open(SLOT, application, listener);
        assertEquals(0, listener.seen.size(), "nothing was notified during the call");

        assertEquals(10, mock.notify(handle, 5), "from this thread, after the call");
        assertEquals(22, mock.notifyFromNewThread(handle, 11), "from a thread the module started");
        assertNotEquals(mock.threadId(), mock.lastNotifyThread());

        assertEquals(2, listener.seen.size());
        Seen here = listener.seen.get(0);
        Seen there = listener.seen.get(1);
        assertSame(Thread.currentThread(), here.thread());
        assertNotEquals(Thread.currentThread(), there.thread());
        for (Seen s : listener.seen) {
            assertEquals(handle, s.session());
            assertSame(application, s.application());
        }
        assertEquals(5, here.event());
        assertEquals(11, there.event());
    }

    @Test
    void aLateExceptionIsDescribedAndDoesNotEscape() {
        Thrower thrower = new Thrower();
        long handle = open(SLOT, null, thrower);
        // The method gave no result; what the module sees then is the
        // virtual machine's business.  Nothing may reach this thread.
        assertDoesNotThrow(() -> mock.notify(handle, 1));
        assertDoesNotThrow(() -> mock.notifyFromNewThread(handle, 2));
        assertEquals(2, thrower.seen.size());
        // The notifying native thread left no exception behind for this one.
        assertDoesNotThrow(() -> JNI.c_CloseSession(module, handle));
    }

    @Test
    void aCallbackWithoutAMethodOrNoCallbackAnswersOk() {
        long noMethod = open(SLOT, null, new Object());
        long none = open(SLOT, null, null);
        assertEquals(Ck.CKR_OK, mock.notify(noMethod, 1));
        assertEquals(Ck.CKR_OK, mock.notifyFromNewThread(none, 1));
    }

    /** The ways a session ends. */
    enum End {
        CLOSE_SESSION, CLOSE_ALL_SESSIONS, FINALIZE, UNLOAD
    }

    @ParameterizedTest
    @EnumSource(End.class)
    void noNotificationReachesJavaOnceTheSessionEnded(End how) {
        Listener ended = new Listener(event -> 0x77);
        Listener survivor = new Listener(event -> 0x55);
        long handle = open(SLOT, null, ended);
        long other = open(OTHER_SLOT, null, survivor);
        assertEquals(0x77, mock.notify(handle, 1));

        long rv = switch (how) {
            case CLOSE_SESSION -> JNI.c_CloseSession(module, handle);
            case CLOSE_ALL_SESSIONS -> JNI.c_CloseAllSessions(module, SLOT);
            case FINALIZE -> JNI.c_Finalize(module, 0);
            case UNLOAD -> {
                JNI.unloadExternalModule(module);
                module = 0;
                yield Ck.CKR_OK;
            }
        };
        assertEquals(Ck.CKR_OK, rv);

        // The module notifies what it kept all the same; the bridge finds the
        // context gone, calls nothing and answers CKR_OK.
        mock.setStaleNotify(true);
        assertEquals(Ck.CKR_OK, mock.notify(handle, 2));
        assertEquals(Ck.CKR_OK, mock.notifyFromNewThread(handle, 3));
        assertEquals(1, ended.seen.size(), "only the notification before the end");

        if (how == End.FINALIZE || how == End.UNLOAD) {
            assertEquals(Ck.CKR_OK, mock.notify(other, 4), "every session of the module ended");
            assertEquals(0, survivor.seen.size());
        } else {
            assertEquals(0x55, mock.notify(other, 4), "a session of another slot lives on");
            assertEquals(1, survivor.seen.size());
        }
    }

    @Test
    void aFailedOpenWritesTheInvalidHandleAndItsContextIsNotReused() {
        Listener listener = new Listener();
        mock.setResult(Cryptoki.C_OpenSession, Ck.CKR_SLOT_ID_INVALID);
        long[] session = {-1};
        assertEquals(Ck.CKR_SLOT_ID_INVALID, JNI.c_OpenSession(module, SLOT, FLAGS, null, listener, session));
        assertEquals(0, session[0], "the handle's local starts at CK_INVALID_HANDLE");
        Mock.Record call = mock.last(Cryptoki.C_OpenSession);
        assertNotNull(call);
        // Whatever the module kept of the failed call, notifying it reaches nothing.
        mock.setResult(Cryptoki.C_OpenSession, Ck.CKR_OK);
        long handle = open(SLOT, null, new Listener());
        assertNotEquals(call.value[2], mock.sessionStored(handle)[0], "each open has a pApplication of its own");
        assertEquals(0, listener.seen.size());
    }

    @Test
    void aNullOrEmptySessionCellIsRefusedWithoutCallingTheModule() {
        int before = mock.recordCount();
        assertEquals(Ck.CKR_ARGUMENTS_BAD, JNI.c_OpenSession(module, SLOT, FLAGS, null, new Listener(), null));
        assertEquals(Ck.CKR_ARGUMENTS_BAD,
                JNI.c_OpenSession(module, SLOT, FLAGS, null, new Listener(), new long[0]));
        assertEquals(before, mock.recordCount());
        long[] session = {-9};
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_OpenSession(0, SLOT, FLAGS, null, new Listener(), session));
        assertEquals(-9, session[0]);
    }

    /**
     * A handle that was unloaded is no handle: unloading it again does
     * nothing, and natives given it answer CKR_NO_FUNCTION without calling
     * the module, as for 0.  (The record behind it is gone; reading it
     * would take the virtual machine down.)
     */
    @Test
    void anUnloadedHandleIsRefusedAndUnloadingItAgainDoesNothing() {
        long stale = JNI.loadExternalModule(mock.path());
        assertNotEquals(0, stale);
        JNI.unloadExternalModule(stale);
        JNI.unloadExternalModule(stale);
        int before = mock.recordCount();
        long[] cell = {-9};
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_OpenSession(stale, SLOT, FLAGS, null, new Listener(), cell));
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_Initialize(stale, null));
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_GetSlotList(stale, true, null, cell));
        assertEquals(Ck.CKR_NO_FUNCTION, JNI.c_CloseAllSessions(stale, SLOT));
        assertEquals(-9, cell[0]);
        assertEquals(before, mock.recordCount(), "the module was not called");
    }

    /**
     * Two loads of one file are one module: closing all of a slot through
     * the second handle ends what was opened through the first, and its
     * notification object is let go at once, not when the first handle goes.
     */
    @Test
    void closeAllThroughASecondHandleEndsTheFirstHandlesSessions() throws InterruptedException {
        long second = JNI.loadExternalModule(mock.path());
        assertNotEquals(0, second);
        try {
            Listener listener = new Listener();
            java.lang.ref.WeakReference<Listener> gone = new java.lang.ref.WeakReference<>(listener);
            long handle = open(SLOT, null, listener);
            listener = null;
            assertEquals(Ck.CKR_OK, JNI.c_CloseAllSessions(second, SLOT));
            mock.setStaleNotify(true);
            assertEquals(Ck.CKR_OK, mock.notify(handle, 1));
            for (int attempt = 0; attempt < 50 && gone.get() != null; attempt++) {
                System.gc();
                Thread.sleep(20);
            }
            assertEquals(null, gone.get(), "the notification object is collectable");
        } finally {
            JNI.unloadExternalModule(second);
        }
    }

    /**
     * Native threads notify a session without pause while this thread opens
     * and closes it, round after round.  No answer but CKR_OK may come back,
     * and the virtual machine must neither crash nor warn.
     */
    @Test
    void closingWhileTheModuleNotifiesFromOtherThreads() throws InterruptedException {
        AtomicLong calls = new AtomicLong();
        Listener listener = new Listener(event -> {
            calls.incrementAndGet();
            return Ck.CKR_OK;
        }) {
            @Override
            public long callback(long session, long event, Object application) {
                // Keeps no list: thousands of calls per round.
                return answer.applyAsLong(event);
            }
        };
        mock.setStaleNotify(true);
        long totalCalls = 0;
        for (int round = 0; round < 40; round++) {
            mock.setNextSession(0x2000 + round);
            long handle = open(SLOT, new Object(), listener);
            assertEquals(0, mock.notifyStressStart(handle, 1, 4, 2_000));
            // Close once the threads are under way (or have finished).
            for (int spin = 0; spin < 10_000 && mock.notifyStressCalls() < 50; spin++) {
                Thread.sleep(0, 100_000);
            }
            long rv = round % 3 == 0 ? JNI.c_CloseAllSessions(module, SLOT) : JNI.c_CloseSession(module, handle);
            assertEquals(Ck.CKR_OK, rv);
            // And let them go on notifying the closed session for a while.
            long atClose = mock.notifyStressCalls();
            for (int spin = 0; spin < 1_000 && mock.notifyStressCalls() < atClose + 200; spin++) {
                Thread.sleep(0, 100_000);
            }
            long[] result = mock.notifyStressStop();
            assertEquals(0, result[1], "answers other than CKR_OK in round " + round);
            totalCalls += result[0];
        }
        System.out.println("notification stress: " + totalCalls + " notifications, " + calls.get() + " reached Java");
        assertTrue(totalCalls > 0, "the module notified at all");
        assertTrue(calls.get() > 0, "some notifications reached Java before their session closed");
        assertTrue(calls.get() <= totalCalls);
    }
}
