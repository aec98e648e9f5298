package Orvalith.Test;

/**
 * Natives of the test-only library orvjni_testhelpers: a door to the
 * helpers that the bridge exports to other native code, and raw views of
 * memory and of loaded modules for checking what the bridge did.
 *
 * The bridge library is loaded first (through the class initialiser of
 * Orvalith.Base.JNI), so that the helper library binds to that very copy.
 */
public final class Native {
    static {
        try {
            Class.forName("Orvalith.Base.JNI", true, Native.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new ExceptionInInitializerError(e);
        }
        String path = System.getProperty("orvjni.testhelpers");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("orvjni_testhelpers");
        }
    }

    private Native() {
    }

    // Field accessors: the bridge's functions of the same names.  A missing
    // field raises the bridge's exception; the fallback value is then lost
    // on the way to Java, so tests that need it use readCaptured.

    public static native int getIntField(Object o, String name);

    public static native long getLongField(Object o, String name);

    /** 0 or 1, and 255 for a missing field. */
    public static native int getBoolField(Object o, String name);

    public static native double getDoubleField(Object o, String name);

    public static native Object getObjectField(Object o, String name);

    public static native String getStringField(Object o, String name);

    /** A copy of the elements that GetByteArrayField gives; null for none. */
    public static native byte[] getByteArrayField(Object o, String name);

    public static native void setIntField(Object o, String name, int v);

    /** Goes through the native unsigned long, as the bridge's callers do. */
    public static native void setLongField(Object o, String name, long v);

    public static native void setBoolField(Object o, String name, boolean v);

    public static native void setDoubleField(Object o, String name, double v);

    public static native void setObjectField(Object o, String name, Object v);

    public static native void setStringField(Object o, String name, String v);

    // Reference cells.

    public static native int getIntRefValue(int[] cell);

    public static native long getLongRefValue(long[] cell);

    public static native void setBoolRef(boolean[] cell, boolean v);

    public static native void setIntRef(int[] cell, int v);

    public static native void setLongRef(long[] cell, long v);

    /** Readers reachable through {@link #readCaptured}. */
    public enum Read {
        LONG_FIELD, INT_FIELD, BOOL_FIELD, DOUBLE_FIELD, LONG_REF, INT_REF
    }

    /** Readers reachable through {@link #readObjectCaptured}. */
    public enum ReadObject {
        OBJECT_FIELD, STRING_FIELD
    }

    /** Writers reachable through {@link #writeCaptured}. */
    public enum Write {
        LONG_FIELD, INT_FIELD, BOOL_FIELD, DOUBLE_FIELD, OBJECT_FIELD, STRING_FIELD, LONG_REF, INT_REF, BOOL_REF
    }

    /**
     * Runs one reader on target (a cell for the *_REF readers, name unused)
     * and stores its result in out[0] even when it raised: doubles as
     * their raw bits.  With pending not null, that exception is thrown
     * before the reader is entered.  Whatever is pending afterwards reaches
     * the caller.
     */
    public static native void readCaptured(Throwable pending, int reader, Object target, String name, long[] out);

    public static native void readObjectCaptured(Throwable pending, int reader, Object target, String name,
            Object[] out);

    /** Runs one writer with value (doubles as raw bits) or o; see readCaptured. */
    public static native void writeCaptured(Throwable pending, int writer, Object target, String name, long value,
            Object o);

    public static long read(Throwable pending, Read reader, Object target, String name) {
        long[] out = {Long.MIN_VALUE + 7};
        Throwable raised = null;
        try {
            readCaptured(pending, reader.ordinal(), target, name, out);
        } catch (Throwable t) {
            raised = t;
        }
        if (raised != pending) {
            throw new Captured(raised, out[0]);
        }
        return out[0];
    }

    /**
     * What a reader raised that the caller did not expect, with the value
     * that the reader gave all the same.
     */
    public static final class Captured extends RuntimeException {
        private static final long serialVersionUID = 1L;
        public final Throwable raised;
        public final long value;

        Captured(Throwable raised, long value) {
            super("reader raised " + raised + ", value " + value, raised);
            this.raised = raised;
            this.value = value;
        }
    }

    // Objects, arrays and strings.

    public static native Object getObj();

    public static native void freeObj(Object o);

    /** bArr2jArr over the bytes of src (null: a null address). */
    public static native byte[] bArr2jArr(byte[] src, int length);

    /** The native string that jstringToWindows made, terminating NUL included. */
    public static native byte[] jstringToWindows(String s);

    /** WindowsTojstring of the bytes with a NUL appended; null: a null pointer. */
    public static native String windowsTojstring(byte[] text);

    // Exceptions and lookups.

    /** ThrowNewException; with pending not null, that one is thrown first. */
    public static native void throwNewException(Throwable pending, String message);

    /** Throw with a Java string. */
    public static native void throwMessage(String message);

    /** IsFieldExists after a GetFieldID with sig; a null sig passes a null ID. */
    public static native int isFieldExists(Object o, String name, String sig);

    /** CanCallMethod after the bridge's GetMethodID with sig; a null sig passes a null ID. */
    public static native int canCallMethod(Object o, String name, String sig);

    /** Whether the bridge's GetMethodID found the method. */
    public static native boolean hasMethod(Object o, String name, String sig);

    // Environment.

    /** Whether the bridge's jvm is the virtual machine running this code. */
    public static native boolean jvmIsSet();

    /** Whether GetEnv on this Java thread gives this thread's environment. */
    public static native boolean getEnvIsCaller();

    /** Indices into the result of {@link #probeEnvOnNewThread}. */
    public static final int ENV_BEFORE_ATTACH = 0, ATTACHED = 1, VM_SEES_ATTACHED = 2, GETENV_AFTER_ATTACH = 3,
            VM_SEES_AFTER_DETACH = 4;

    /**
     * On a new native thread: GetEnv before attaching (non-null?), AttachEnv
     * (succeeded?), the VM's own view of the thread (the same environment?),
     * GetEnv afterwards (the same?), and after DetachEnv whether the VM
     * still counts the thread as attached.  1 for yes, 0 for no.
     */
    public static native int[] probeEnvOnNewThread();

    // Initialise arguments.

    public static native boolean isNSS(Object args);

    /**
     * ObjToInitializeArgs: the record's pointer-sized words into out (room
     * for 7), answering their number, 0 when no record was built.
     */
    public static native int objToInitializeArgs(Object args, long[] out);

    /** Addresses of CreateMutexCallback, DestroyMutexCallback, LockMutexCallback, UnlockMutexCallback. */
    public static native long[] mutexCallbacks();

    // A block registry of the test's own (not the bridge's).

    public static native long plistCreate();

    /** Resets and releases a registry from plistCreate. */
    public static native void plistDispose(long registry);

    public static native void plistNew(long registry);

    public static native void plistAdd(long registry, long address);

    public static native void plistIncref(long registry, long address);

    public static native int plistDelete(long registry, long address);

    public static native void plistFree(long registry);

    public static native void plistReset(long registry);

    /**
     * {count, address0, refcount0, address1, refcount1, ...} from the head;
     * null when the back links or the count disagree with the forward walk.
     */
    public static native long[] plistNodes(long registry);

    // Raw memory.

    public static native byte[] peek(long address, int length);

    public static native void poke(long address, byte[] data);

    /** Stores each value as a native unsigned long, one after the other. */
    public static native void pokeNativeLongs(long address, long[] values);

    public static native int nativeLongSize();

    public static native int nativePointerSize();

    // Loaded modules.

    /** {library handle, function table, table owned} of a module handle. */
    public static native long[] moduleRecord(long module);

    /** Function-table entry number entry (0 = C_Initialize). */
    public static native long tableEntry(long table, int entry);

    /** Whether the library is loaded in the process; leaves it as it was. */
    public static native boolean isLoaded(String path);

    /** dlsym in an already loaded library; 0 when not loaded or absent. */
    public static native long loadedSymbol(String path, String name);

    /** The table that the loaded module's own C_GetFunctionList answers, or 0. */
    public static native long moduleOwnTable(String path);
}
