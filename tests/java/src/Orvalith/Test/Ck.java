package Orvalith.Test;

import Orvalith.Base.JNI.Pointer;
import java.lang.reflect.Field;
import java.lang.reflect.Modifier;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Cryptoki records laid out by hand in native blocks, for Java code that
 * drives a token module through the bridge: CK_MECHANISM with its
 * parameter, CK_ATTRIBUTE templates and the values a module writes back,
 * CK_ULONG arrays, the info records, and the constants with a name table
 * for printing results.
 *
 * Widths come from the bridge (CK_ULONG and pointers are 4 bytes on the
 * 32-bit builds, 8 on 64-bit), bytes are little-endian as on every build,
 * and structures are packed to 1 byte on Windows and naturally aligned
 * elsewhere.  Depends on nothing but the bridge class, so the demo and
 * benchmarks can use it as well as the tests.
 */
public final class Ck {
    private Ck() {
    }

    /** Bytes in a CK_ULONG (and CK_RV, handles, flags). */
    public static final int LONG = Pointer.getPlatformLongIntSize();
    /** Bytes in a pointer. */
    public static final int PTR = Pointer.getPlatformSize();
    /** Whether structures are packed to 1 byte (the Windows build). */
    public static final boolean PACKED = System.getProperty("os.name", "").startsWith("Windows");
    /** CK_UNAVAILABLE_INFORMATION as {@link #getUlong} reads it. */
    public static final long UNAVAILABLE = LONG == 8 ? -1L : 0xFFFFFFFFL;

    /**
     * A Java long as a native unsigned long holds it and hands it back: its
     * low 32 bits, zero-extended, on the 32-bit builds; unchanged on 64-bit.
     */
    public static long asUlong(long value) {
        return LONG == 8 ? value : value & 0xFFFFFFFFL;
    }

    // Return values.
    public static final long CKR_OK = 0x0, CKR_CANCEL = 0x1, CKR_HOST_MEMORY = 0x2, CKR_SLOT_ID_INVALID = 0x3,
            CKR_GENERAL_ERROR = 0x5, CKR_FUNCTION_FAILED = 0x6, CKR_ARGUMENTS_BAD = 0x7, CKR_NO_EVENT = 0x8,
            CKR_NEED_TO_CREATE_THREADS = 0x9, CKR_CANT_LOCK = 0xA, CKR_ATTRIBUTE_READ_ONLY = 0x10,
            CKR_ATTRIBUTE_SENSITIVE = 0x11, CKR_ATTRIBUTE_TYPE_INVALID = 0x12, CKR_ATTRIBUTE_VALUE_INVALID = 0x13,
            CKR_ACTION_PROHIBITED = 0x1B, CKR_DATA_INVALID = 0x20, CKR_DATA_LEN_RANGE = 0x21,
            CKR_DEVICE_ERROR = 0x30, CKR_DEVICE_MEMORY = 0x31, CKR_DEVICE_REMOVED = 0x32,
            CKR_ENCRYPTED_DATA_INVALID = 0x40, CKR_ENCRYPTED_DATA_LEN_RANGE = 0x41, CKR_FUNCTION_CANCELED = 0x50,
            CKR_FUNCTION_NOT_PARALLEL = 0x51, CKR_FUNCTION_NOT_SUPPORTED = 0x54, CKR_KEY_HANDLE_INVALID = 0x60,
            CKR_KEY_SIZE_RANGE = 0x62, CKR_KEY_TYPE_INCONSISTENT = 0x63, CKR_KEY_NOT_NEEDED = 0x64,
            CKR_KEY_CHANGED = 0x65, CKR_KEY_NEEDED = 0x66, CKR_KEY_INDIGESTIBLE = 0x67,
            CKR_KEY_FUNCTION_NOT_PERMITTED = 0x68, CKR_KEY_NOT_WRAPPABLE = 0x69, CKR_KEY_UNEXTRACTABLE = 0x6A,
            CKR_MECHANISM_INVALID = 0x70, CKR_MECHANISM_PARAM_INVALID = 0x71, CKR_OBJECT_HANDLE_INVALID = 0x82,
            CKR_OPERATION_ACTIVE = 0x90, CKR_OPERATION_NOT_INITIALIZED = 0x91, CKR_PIN_INCORRECT = 0xA0,
            CKR_PIN_INVALID = 0xA1, CKR_PIN_LEN_RANGE = 0xA2, CKR_PIN_EXPIRED = 0xA3, CKR_PIN_LOCKED = 0xA4,
            CKR_SESSION_CLOSED = 0xB0, CKR_SESSION_COUNT = 0xB1, CKR_SESSION_HANDLE_INVALID = 0xB3,
            CKR_SESSION_PARALLEL_NOT_SUPPORTED = 0xB4, CKR_SESSION_READ_ONLY = 0xB5, CKR_SESSION_EXISTS = 0xB6,
            CKR_SESSION_READ_ONLY_EXISTS = 0xB7, CKR_SESSION_READ_WRITE_SO_EXISTS = 0xB8,
            CKR_SIGNATURE_INVALID = 0xC0, CKR_SIGNATURE_LEN_RANGE = 0xC1, CKR_TEMPLATE_INCOMPLETE = 0xD0,
            CKR_TEMPLATE_INCONSISTENT = 0xD1, CKR_TOKEN_NOT_PRESENT = 0xE0, CKR_TOKEN_NOT_RECOGNIZED = 0xE1,
            CKR_TOKEN_WRITE_PROTECTED = 0xE2, CKR_UNWRAPPING_KEY_HANDLE_INVALID = 0xF0,
            CKR_UNWRAPPING_KEY_SIZE_RANGE = 0xF1, CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT = 0xF2,
            CKR_USER_ALREADY_LOGGED_IN = 0x100, CKR_USER_NOT_LOGGED_IN = 0x101, CKR_USER_PIN_NOT_INITIALIZED = 0x102,
            CKR_USER_TYPE_INVALID = 0x103, CKR_USER_ANOTHER_ALREADY_LOGGED_IN = 0x104,
            CKR_USER_TOO_MANY_TYPES = 0x105, CKR_WRAPPED_KEY_INVALID = 0x110, CKR_WRAPPED_KEY_LEN_RANGE = 0x112,
            CKR_WRAPPING_KEY_HANDLE_INVALID = 0x113, CKR_WRAPPING_KEY_SIZE_RANGE = 0x114,
            CKR_WRAPPING_KEY_TYPE_INCONSISTENT = 0x115, CKR_RANDOM_SEED_NOT_SUPPORTED = 0x120,
            CKR_RANDOM_NO_RNG = 0x121, CKR_DOMAIN_PARAMS_INVALID = 0x130, CKR_CURVE_NOT_SUPPORTED = 0x140,
            CKR_BUFFER_TOO_SMALL = 0x150, CKR_SAVED_STATE_INVALID = 0x160, CKR_INFORMATION_SENSITIVE = 0x170,
            CKR_STATE_UNSAVEABLE = 0x180, CKR_CRYPTOKI_NOT_INITIALIZED = 0x190,
            CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191, CKR_MUTEX_BAD = 0x1A0, CKR_MUTEX_NOT_LOCKED = 0x1A1,
            CKR_NEW_PIN_MODE = 0x1B0, CKR_NEXT_OTP = 0x1B1, CKR_EXCEEDED_MAX_ITERATIONS = 0x1B5,
            CKR_FIPS_SELF_TEST_FAILED = 0x1B6, CKR_LIBRARY_LOAD_FAILED = 0x1B7, CKR_PIN_TOO_WEAK = 0x1B8,
            CKR_PUBLIC_KEY_INVALID = 0x1B9, CKR_FUNCTION_REJECTED = 0x200, CKR_VENDOR_DEFINED = 0x80000000L;
    /** What the bridge answers when there is no module or the module lacks the function. */
    public static final long CKR_NO_FUNCTION = 0x80000001L;

    // Attribute types.
    public static final long CKA_CLASS = 0x0, CKA_TOKEN = 0x1, CKA_PRIVATE = 0x2, CKA_LABEL = 0x3,
            CKA_APPLICATION = 0x10, CKA_VALUE = 0x11, CKA_CERTIFICATE_TYPE = 0x80, CKA_KEY_TYPE = 0x100,
            CKA_ID = 0x102, CKA_SENSITIVE = 0x103, CKA_ENCRYPT = 0x104, CKA_DECRYPT = 0x105, CKA_WRAP = 0x106,
            CKA_UNWRAP = 0x107, CKA_SIGN = 0x108, CKA_VERIFY = 0x10A, CKA_DERIVE = 0x10C, CKA_MODULUS = 0x120,
            CKA_MODULUS_BITS = 0x121, CKA_PUBLIC_EXPONENT = 0x122, CKA_VALUE_LEN = 0x161, CKA_EXTRACTABLE = 0x162,
            CKA_MODIFIABLE = 0x170, CKA_EC_PARAMS = 0x180, CKA_EC_POINT = 0x181;

    // Object classes and key types.
    public static final long CKO_DATA = 0x0, CKO_CERTIFICATE = 0x1, CKO_PUBLIC_KEY = 0x2, CKO_PRIVATE_KEY = 0x3,
            CKO_SECRET_KEY = 0x4;
    public static final long CKK_RSA = 0x0, CKK_EC = 0x3, CKK_GENERIC_SECRET = 0x10, CKK_AES = 0x1F;
    public static final long CKC_X_509 = 0x0;

    // Mechanisms.
    public static final long CKM_RSA_PKCS_KEY_PAIR_GEN = 0x0, CKM_RSA_PKCS = 0x1, CKM_SHA256_RSA_PKCS = 0x40,
            CKM_SHA_1 = 0x220, CKM_SHA256 = 0x250, CKM_GENERIC_SECRET_KEY_GEN = 0x350,
            CKM_EC_KEY_PAIR_GEN = 0x1040, CKM_ECDSA = 0x1041, CKM_ECDSA_SHA256 = 0x1044, CKM_ECDH1_DERIVE = 0x1050,
            CKM_AES_KEY_GEN = 0x1080, CKM_AES_ECB = 0x1081, CKM_AES_CBC = 0x1082, CKM_AES_CBC_PAD = 0x1085,
            CKM_AES_KEY_WRAP = 0x2109;

    // Flags, users, session states and the rest.
    public static final long CKF_TOKEN_PRESENT = 0x1;                         // CK_SLOT_INFO
    public static final long CKF_RNG = 0x1, CKF_LOGIN_REQUIRED = 0x4, CKF_USER_PIN_INITIALIZED = 0x8,
            CKF_TOKEN_INITIALIZED = 0x400;                                    // CK_TOKEN_INFO
    public static final long CKF_RW_SESSION = 0x2, CKF_SERIAL_SESSION = 0x4;  // C_OpenSession
    public static final long CKF_LIBRARY_CANT_CREATE_OS_THREADS = 0x1, CKF_OS_LOCKING_OK = 0x2;
    public static final long CKF_SIGN = 0x800, CKF_VERIFY = 0x2000;          // CK_MECHANISM_INFO
    public static final long CKU_SO = 0, CKU_USER = 1;
    public static final long CKS_RW_PUBLIC_SESSION = 2, CKS_RW_USER_FUNCTIONS = 3;
    public static final long CKN_SURRENDER = 0;
    public static final long CKD_NULL = 1;

    private static final Map<Long, String> RV_NAMES = new HashMap<>();

    static {
        for (Field f : Ck.class.getFields()) {
            if (f.getName().startsWith("CKR_") && Modifier.isStatic(f.getModifiers())) {
                try {
                    RV_NAMES.put(f.getLong(null), f.getName());
                } catch (IllegalAccessException e) {
                    throw new ExceptionInInitializerError(e);
                }
            }
        }
    }

    /** "CKR_PIN_INCORRECT", or the code in hex for one without a name. */
    public static String rvName(long rv) {
        String name = RV_NAMES.get(rv);
        if (name != null) {
            return name;
        }
        if (rv >= CKR_VENDOR_DEFINED) {
            return "CKR_VENDOR_DEFINED+0x" + Long.toHexString(rv - CKR_VENDOR_DEFINED);
        }
        return "0x" + Long.toHexString(rv);
    }

    /** "0xa0 CKR_PIN_INCORRECT". */
    public static String rv(long rv) {
        return "0x" + Long.toHexString(rv) + " " + rvName(rv);
    }

    // Native integers in byte arrays.

    public static void putUlong(byte[] b, int offset, long value) {
        putLittleEndian(b, offset, LONG, value);
    }

    /** A CK_ULONG, zero-extended from 4 bytes on the 32-bit builds. */
    public static long getUlong(byte[] b, int offset) {
        return getLittleEndian(b, offset, LONG);
    }

    public static void putPointer(byte[] b, int offset, long address) {
        putLittleEndian(b, offset, PTR, address);
    }

    public static long getPointer(byte[] b, int offset) {
        return getLittleEndian(b, offset, PTR);
    }

    public static byte[] ulong(long value) {
        byte[] b = new byte[LONG];
        putUlong(b, 0, value);
        return b;
    }

    private static void putLittleEndian(byte[] b, int offset, int width, long value) {
        for (int i = 0; i < width; i++) {
            b[offset + i] = (byte) (value >>> (8 * i));
        }
    }

    private static long getLittleEndian(byte[] b, int offset, int width) {
        long v = 0;
        for (int i = 0; i < width; i++) {
            v |= (b[offset + i] & 0xFFL) << (8 * i);
        }
        return v;
    }

    // Blocks.

    /** A heap block holding a copy of data (at least one byte, so it always has an address). */
    public static Pointer block(byte[] data) {
        Pointer p = Pointer.getInstance(Math.max(1, data.length));
        if (data.length > 0) {
            Pointer.copy(data, 0, p, 0, data.length);
        }
        return p;
    }

    /** A heap block holding the UTF-8 bytes of s, with no terminating NUL (PINs, data). */
    public static Pointer block(String s) {
        return block(s.getBytes(StandardCharsets.UTF_8));
    }

    /** length bytes of the block from offset. */
    public static byte[] read(Pointer p, int offset, int length) {
        byte[] all = p.getContent();
        byte[] part = new byte[length];
        System.arraycopy(all, offset, part, 0, length);
        return part;
    }

    /** A block with room for count CK_ULONGs (slot IDs, mechanism types, object handles). */
    public static Pointer ulongs(int count) {
        return Pointer.getInstance(Math.max(1, count) * LONG);
    }

    /** The first count CK_ULONGs of a block. */
    public static long[] ulongs(Pointer p, long count) {
        byte[] b = p.getContent();
        long[] v = new long[(int) count];
        for (int i = 0; i < v.length; i++) {
            v[i] = getUlong(b, i * LONG);
        }
        return v;
    }

    /** s in UTF-8, padded with blanks to width bytes, as Cryptoki's fixed text fields hold it. */
    public static byte[] padded(String s, int width) {
        byte[] b = new byte[width];
        Arrays.fill(b, (byte) ' ');
        byte[] text = s.getBytes(StandardCharsets.UTF_8);
        System.arraycopy(text, 0, b, 0, Math.min(width, text.length));
        return b;
    }

    /** A fixed text field without its blank padding. */
    public static String text(byte[] b, int offset, int width) {
        int end = offset + width;
        while (end > offset && (b[end - 1] == ' ' || b[end - 1] == 0)) {
            end--;
        }
        return new String(b, offset, end - offset, StandardCharsets.UTF_8);
    }

    /** Where the members of a structure lie: packed on Windows, naturally aligned elsewhere. */
    public static final class Layout {
        private int size;
        private int alignment = 1;

        /** Offset of the next member of this size and natural alignment. */
        public int member(int bytes, int naturalAlignment) {
            int a = PACKED ? 1 : naturalAlignment;
            alignment = Math.max(alignment, a);
            int offset = (size + a - 1) / a * a;
            size = offset + bytes;
            return offset;
        }

        public int ulong() {
            return member(LONG, LONG);
        }

        public int pointer() {
            return member(PTR, PTR);
        }

        public int bytes(int n) {
            return member(n, 1);
        }

        /** CK_VERSION: two bytes. */
        public int version() {
            return member(2, 1);
        }

        /** sizeof the structure, trailing padding included. */
        public int size() {
            return (size + alignment - 1) / alignment * alignment;
        }
    }

    /** A block and the blocks that it points to, released together. */
    public static class Struct implements AutoCloseable {
        public final Pointer block;
        private final List<Pointer> children = new ArrayList<>();

        protected Struct(int size) {
            block = Pointer.getInstance(size);
        }

        protected Pointer own(Pointer child) {
            children.add(child);
            return child;
        }

        protected void write(byte[] content) {
            Pointer.copy(content, 0, block, 0, content.length);
        }

        /** Frees the block and every block it owns. */
        @Override
        public void close() {
            for (Pointer child : children) {
                child.free();
            }
            children.clear();
            block.free();
        }
    }

    /** CK_MECHANISM: mechanism, pParameter, ulParameterLen. */
    public static final class Mechanism extends Struct {
        private static final Layout L = new Layout();
        public static final int TYPE = L.ulong(), PARAMETER = L.pointer(), PARAMETER_LEN = L.ulong(),
                SIZE = L.size();

        private Mechanism(long type, Pointer parameter, long length) {
            super(SIZE);
            byte[] b = new byte[SIZE];
            putUlong(b, TYPE, type);
            if (parameter != null) {
                own(parameter);
                putPointer(b, PARAMETER, parameter.p);
            }
            putUlong(b, PARAMETER_LEN, length);
            write(b);
        }

        /** Without a parameter. */
        public static Mechanism of(long type) {
            return new Mechanism(type, null, 0);
        }

        /** With a parameter of these bytes (an IV, for instance). */
        public static Mechanism of(long type, byte[] parameter) {
            return new Mechanism(type, block(parameter), parameter.length);
        }

        /**
         * CKM_ECDH1_DERIVE with CK_ECDH1_DERIVE_PARAMS {kdf, ulSharedDataLen,
         * pSharedData, ulPublicDataLen, pPublicData}: no shared data, the
         * other party's public point.
         */
        public static Mechanism ecdh1Derive(long kdf, byte[] publicPoint) {
            Layout l = new Layout();
            int kdfAt = l.ulong(), sharedLen = l.ulong(), shared = l.pointer(), publicLen = l.ulong(),
                    publicAt = l.pointer();
            byte[] b = new byte[l.size()];
            putUlong(b, kdfAt, kdf);
            putUlong(b, sharedLen, 0);
            putPointer(b, shared, 0);
            putUlong(b, publicLen, publicPoint.length);
            Pointer point = block(publicPoint);
            putPointer(b, publicAt, point.p);
            Mechanism m = new Mechanism(CKM_ECDH1_DERIVE, block(b), b.length);
            m.own(point);
            return m;
        }
    }

    /** One attribute of a template in the making. */
    public static final class Attr {
        final long type;
        final byte[] value;  // null: a buffer of capacity bytes for the module to fill
        final int capacity;  // -1: no buffer at all, a length query

        private Attr(long type, byte[] value, int capacity) {
            this.type = type;
            this.value = value;
            this.capacity = capacity;
        }
    }

    public static Attr attr(long type, byte[] value) {
        return new Attr(type, value.clone(), value.length);
    }

    /** A CK_BBOOL. */
    public static Attr attr(long type, boolean value) {
        return new Attr(type, new byte[] {(byte) (value ? 1 : 0)}, 1);
    }

    /** UTF-8 text (labels). */
    public static Attr attr(long type, String value) {
        return attr(type, value.getBytes(StandardCharsets.UTF_8));
    }

    /** A CK_ULONG (classes, key types, lengths). */
    public static Attr ulongAttr(long type, long value) {
        return new Attr(type, ulong(value), LONG);
    }

    /** Room for the module to write up to capacity bytes of the value. */
    public static Attr buffer(long type, int capacity) {
        return new Attr(type, null, capacity);
    }

    /** A null pValue: the module answers the value's length only. */
    public static Attr query(long type) {
        return new Attr(type, null, -1);
    }

    /** A CK_ATTRIBUTE array with a value block for each attribute that has one. */
    public static final class Template extends Struct {
        private static final Layout L = new Layout();
        public static final int TYPE = L.ulong(), VALUE = L.pointer(), VALUE_LEN = L.ulong(), SIZE = L.size();

        private final Pointer[] values;

        public Template(Attr... attrs) {
            super(Math.max(1, attrs.length) * SIZE);
            values = new Pointer[attrs.length];
            byte[] b = new byte[attrs.length * SIZE];
            for (int i = 0; i < attrs.length; i++) {
                Attr a = attrs[i];
                int at = i * SIZE;
                putUlong(b, at + TYPE, a.type);
                if (a.capacity >= 0) {
                    values[i] = own(a.value != null ? block(a.value) : Pointer.getInstance(Math.max(1, a.capacity)));
                    putPointer(b, at + VALUE, values[i].p);
                }
                putUlong(b, at + VALUE_LEN, Math.max(0, a.capacity));
            }
            if (b.length > 0) {
                write(b);
            }
        }

        /** ulCount for the natives. */
        public long count() {
            return values.length;
        }

        /** ulValueLen of attribute i as it stands in the block (the module's answer after a call). */
        public long length(int i) {
            return getUlong(read(block, i * SIZE + VALUE_LEN, LONG), 0);
        }

        /** The value bytes of attribute i, as long as ulValueLen says. */
        public byte[] value(int i) {
            long n = length(i);
            if (values[i] == null || n == UNAVAILABLE) {
                return null;
            }
            return read(values[i], 0, (int) Math.min(n, values[i].size));
        }

        public long ulongValue(int i) {
            return getUlong(value(i), 0);
        }

        public boolean boolValue(int i) {
            return value(i)[0] != 0;
        }

        public String textValue(int i) {
            return new String(value(i), StandardCharsets.UTF_8);
        }
    }

    // Info records that the module fills.

    /** CK_INFO. */
    public record Info(int cryptokiMajor, int cryptokiMinor, String manufacturerID, long flags,
            String libraryDescription, int libraryMajor, int libraryMinor) {
        private static final Layout L = new Layout();
        private static final int VERSION = L.version(), MANUFACTURER = L.bytes(32), FLAGS = L.ulong(),
                DESCRIPTION = L.bytes(32), LIBRARY_VERSION = L.version();
        public static final int SIZE = L.size();

        public static Info read(Pointer p) {
            byte[] b = p.getContent();
            return new Info(b[VERSION], b[VERSION + 1], text(b, MANUFACTURER, 32), getUlong(b, FLAGS),
                    text(b, DESCRIPTION, 32), b[LIBRARY_VERSION], b[LIBRARY_VERSION + 1]);
        }
    }

    /** CK_SLOT_INFO. */
    public record SlotInfo(String slotDescription, String manufacturerID, long flags) {
        private static final Layout L = new Layout();
        private static final int DESCRIPTION = L.bytes(64), MANUFACTURER = L.bytes(32), FLAGS = L.ulong(),
                HARDWARE = L.version(), FIRMWARE = L.version();
        public static final int SIZE = L.size();

        public static SlotInfo read(Pointer p) {
            byte[] b = p.getContent();
            return new SlotInfo(text(b, DESCRIPTION, 64), text(b, MANUFACTURER, 32), getUlong(b, FLAGS));
        }
    }

    /** CK_TOKEN_INFO, the members that callers here need. */
    public record TokenInfo(String label, String manufacturerID, String model, String serialNumber, long flags,
            long maxPinLen, long minPinLen) {
        private static final Layout L = new Layout();
        private static final int LABEL = L.bytes(32), MANUFACTURER = L.bytes(32), MODEL = L.bytes(16),
                SERIAL = L.bytes(16), FLAGS = L.ulong(), MAX_SESSIONS = L.ulong(), SESSIONS = L.ulong(),
                MAX_RW_SESSIONS = L.ulong(), RW_SESSIONS = L.ulong(), MAX_PIN = L.ulong(), MIN_PIN = L.ulong(),
                TOTAL_PUBLIC = L.ulong(), FREE_PUBLIC = L.ulong(), TOTAL_PRIVATE = L.ulong(),
                FREE_PRIVATE = L.ulong(), HARDWARE = L.version(), FIRMWARE = L.version(), UTC_TIME = L.bytes(16);
        public static final int SIZE = L.size();

        public static TokenInfo read(Pointer p) {
            byte[] b = p.getContent();
            return new TokenInfo(text(b, LABEL, 32), text(b, MANUFACTURER, 32), text(b, MODEL, 16),
                    text(b, SERIAL, 16), getUlong(b, FLAGS), getUlong(b, MAX_PIN), getUlong(b, MIN_PIN));
        }
    }

    /** CK_MECHANISM_INFO. */
    public record MechanismInfo(long minKeySize, long maxKeySize, long flags) {
        private static final Layout L = new Layout();
        private static final int MIN = L.ulong(), MAX = L.ulong(), FLAGS = L.ulong();
        public static final int SIZE = L.size();

        public static MechanismInfo read(Pointer p) {
            byte[] b = p.getContent();
            return new MechanismInfo(getUlong(b, MIN), getUlong(b, MAX), getUlong(b, FLAGS));
        }
    }

    /** CK_SESSION_INFO. */
    public record SessionInfo(long slotID, long state, long flags, long deviceError) {
        private static final Layout L = new Layout();
        private static final int SLOT = L.ulong(), STATE = L.ulong(), FLAGS = L.ulong(), ERROR = L.ulong();
        public static final int SIZE = L.size();

        public static SessionInfo read(Pointer p) {
            byte[] b = p.getContent();
            return new SessionInfo(getUlong(b, SLOT), getUlong(b, STATE), getUlong(b, FLAGS), getUlong(b, ERROR));
        }
    }
}
