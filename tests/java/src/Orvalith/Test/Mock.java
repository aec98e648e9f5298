package Orvalith.Test;

/**
 * Control of an instrumented test module (mockp11 and its variants): what
 * it recorded, what it answers, and the callbacks it keeps.  Opening the
 * module file here gives the instance that the bridge loads (or loaded),
 * so tests may open before or after loadExternalModule; close drops only
 * this side's reference.
 *
 * Entry numbers are the positions of {@link Cryptoki}.
 */
public final class Mock implements AutoCloseable {
    /** Argument kinds in a {@link Record}. */
    public static final int ARG_ULONG = 1, ARG_POINTER = 2, ARG_CELL = 3, ARG_BBOOL = 4;
    /** The pointer that a failing C_GetFunctionList leaves in the caller's variable. */
    public static final long BOGUS_TABLE = 0x0BADC0DEL;
    /** First handle that C_OpenSession hands out when none is scripted. */
    public static final long FIRST_SESSION_HANDLE = 0x1000L;
    /** Answers of notify calls that found no session or no callback. */
    public static final long RV_NO_SESSION = 0xFFFFFF01L, RV_NO_CALLBACK = 0xFFFFFF02L;

    static final int MAX_ARGS = 8, MAX_INIT_WORDS = 7;

    private final String path;
    private long library;
    private final long control;

    private Mock(String path, long[] opened) {
        this.path = path;
        this.library = opened[0];
        this.control = opened[1];
    }

    /** Opens the module file; fails the test when it cannot. */
    public static Mock open(String path) {
        long[] opened = open0(path);
        if (opened == null) {
            throw new IllegalStateException("cannot open test module " + path);
        }
        return new Mock(path, opened);
    }

    public String path() {
        return path;
    }

    @Override
    public void close() {
        if (library != 0) {
            close0(library);
            library = 0;
        }
    }

    /** One recorded call, as the module saw it. */
    public static final class Record {
        public final int entry;
        public final int nargs;
        public final long thread;
        public final long rv;
        public final int[] kind = new int[MAX_ARGS];
        public final boolean[] hasPointee = new boolean[MAX_ARGS];
        public final long[] value = new long[MAX_ARGS];
        public final long[] pointee = new long[MAX_ARGS];
        /** C_Initialize only. */
        public final boolean initArgsNull;
        public final long[] initWords;

        Record(long[] w) {
            int i = 0;
            entry = (int) w[i++];
            nargs = (int) w[i++];
            thread = w[i++];
            rv = w[i++];
            for (int a = 0; a < MAX_ARGS; a++) {
                kind[a] = (int) w[i++];
                hasPointee[a] = w[i++] != 0;
                value[a] = w[i++];
                pointee[a] = w[i++];
            }
            initArgsNull = w[i++] != 0;
            int words = (int) w[i++];
            initWords = new long[Math.max(0, Math.min(words, MAX_INIT_WORDS))];
            System.arraycopy(w, i, initWords, 0, initWords.length);
        }

        @Override
        public String toString() {
            StringBuilder b = new StringBuilder(Cryptoki.ENTRY_NAMES.get(entry)).append('(');
            for (int a = 0; a < nargs; a++) {
                b.append(a == 0 ? "" : ", ").append("0x").append(Long.toHexString(value[a]));
                if (hasPointee[a]) {
                    b.append("->").append(pointee[a]);
                }
            }
            return b.append(") = 0x").append(Long.toHexString(rv)).toString();
        }
    }

    // Identity and bookkeeping.

    public String variant() {
        return variant(control);
    }

    public String entryName(int entry) {
        return entryName(control, entry);
    }

    /** The module's identifier for the calling thread, as records carry it. */
    public long threadId() {
        return threadId(control);
    }

    /** Clears records, scripts, sessions, stored callbacks and table changes. */
    public void reset() {
        reset(control);
    }

    // Records.

    public int recordCount() {
        return recordCount(control);
    }

    /** Record number index, or null. */
    public Record record(int index) {
        long[] w = record(control, index);
        return w == null ? null : new Record(w);
    }

    /** The last record of entry, or null when the module never saw that call. */
    public Record last(int entry) {
        long[] w = recordLast(control, entry);
        return w == null ? null : new Record(w);
    }

    // Scripts.

    public void setResult(int entry, long rv) {
        setResult(control, entry, rv);
    }

    /** Value stored through argument arg (a CK_ULONG pointer) of entry on every call. */
    public void setOut(int entry, int arg, long value) {
        setOut(control, entry, arg, value);
    }

    public void clearOut(int entry, int arg) {
        clearOut(control, entry, arg);
    }

    // The table that C_GetFunctionList hands out.

    public void setEntryNull(int entry, boolean isNull) {
        setEntryNull(control, entry, isNull);
    }

    public void setTableVersion(int major, int minor) {
        setTableVersion(control, major, minor);
    }

    public long table() {
        return table(control);
    }

    public int tableSize() {
        return tableSize(control);
    }

    // Initialisation and mutexes.

    /** Words of the C_Initialize record to copy: 6 plain, 7 with library parameters. */
    public void setInitWords(int count) {
        setInitWords(control, count);
    }

    public boolean hasMutexCallbacks() {
        return hasMutexCallbacks(control);
    }

    /**
     * Create, lock, unlock, destroy once through the kept callbacks, here or
     * on a new native thread: the four CK_RVs.
     */
    public long[] mutexCycle(boolean onNewThread) {
        return mutexCycle(control, onNewThread);
    }

    /** Callback failures of the stress run, or -1 without callbacks. */
    public int mutexStress(int threads, int iterations) {
        return mutexStress(control, threads, iterations);
    }

    public long mutexCounter() {
        return mutexCounter(control);
    }

    // Sessions and notifications.

    public void setNextSession(long handle) {
        setNextSession(control, handle);
    }

    public boolean sessionIsOpen(long handle) {
        return sessionIsOpen(control, handle);
    }

    public int sessionCount() {
        return sessionCount(control);
    }

    /** {pApplication, Notify} that C_OpenSession kept for handle, or null. */
    public long[] sessionStored(long handle) {
        return sessionStored(control, handle);
    }

    /** Notify with event from inside C_OpenSession, on the calling thread. */
    public void setOpenNotify(boolean enabled, long event) {
        setOpenNotify(control, enabled, event);
    }

    public int openNotifyCount() {
        return openNotifyCount(control);
    }

    public long openNotifyResult() {
        return openNotifyResult(control);
    }

    /** Closed sessions are still notified with what they kept. */
    public void setStaleNotify(boolean enabled) {
        setStaleNotify(control, enabled);
    }

    public long notify(long session, long event) {
        return notify(control, session, event);
    }

    public long notifyFromNewThread(long session, long event) {
        return notifyFromNewThread(control, session, event);
    }

    public long lastNotifyThread() {
        return lastNotifyThread(control);
    }

    /** 0 when the notifying threads started. */
    public int notifyStressStart(long session, long event, int threads, int maxPerThread) {
        return notifyStressStart(control, session, event, threads, maxPerThread);
    }

    public long notifyStressCalls() {
        return notifyStressCalls(control);
    }

    /** {calls, answers other than CKR_OK, rounds without a session}. */
    public long[] notifyStressStop() {
        return notifyStressStop(control);
    }

    // Natives over the module's control table.

    private static native long[] open0(String path);

    private static native void close0(long library);

    private static native String variant(long control);

    private static native String entryName(long control, int entry);

    private static native long threadId(long control);

    private static native void reset(long control);

    private static native int recordCount(long control);

    private static native long[] record(long control, int index);

    private static native long[] recordLast(long control, int entry);

    private static native void setResult(long control, int entry, long rv);

    private static native void setOut(long control, int entry, int arg, long value);

    private static native void clearOut(long control, int entry, int arg);

    private static native void setEntryNull(long control, int entry, boolean isNull);

    private static native void setTableVersion(long control, int major, int minor);

    private static native long table(long control);

    private static native int tableSize(long control);

    private static native void setInitWords(long control, int count);

    private static native boolean hasMutexCallbacks(long control);

    private static native long[] mutexCycle(long control, boolean onNewThread);

    private static native int mutexStress(long control, int threads, int iterations);

    private static native long mutexCounter(long control);

    private static native void setNextSession(long control, long handle);

    private static native boolean sessionIsOpen(long control, long handle);

    private static native int sessionCount(long control);

    private static native long[] sessionStored(long control, long handle);

    private static native void setOpenNotify(long control, boolean enabled, long event);

    private static native int openNotifyCount(long control);

    private static native long openNotifyResult(long control);

    private static native void setStaleNotify(long control, boolean enabled);

    private static native long notify(long control, long session, long event);

    private static native long notifyFromNewThread(long control, long session, long event);

    private static native long lastNotifyThread(long control);

    private static native int notifyStressStart(long control, long session, long event, int threads,
            int maxPerThread);

    private static native long notifyStressCalls(long control);

    private static native long[] notifyStressStop(long control);

    static {
        // The natives live in the helper library, which Native loads.
        try {
            Class.forName("Orvalith.Test.Native", true, Mock.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new ExceptionInInitializerError(e);
        }
    }
}
