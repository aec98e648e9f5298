package Orvalith.Bench;

/**
 * The few Cryptoki numbers and layouts the routes that bypass the bridge
 * need.  Those routes run on the 64-bit host only: CK_ULONG and pointers
 * of 8 bytes, structures naturally aligned.  (The bridge route takes its
 * numbers from Ck, which asks the bridge for the widths.)
 */
final class Const {
    private Const() {
    }

    static final long CKF_OS_LOCKING_OK = 0x2, CKF_SERIAL_SESSION = 0x4, CKU_USER = 1;
    static final long CKA_CLASS = 0x0, CKA_LABEL = 0x3, CKO_DATA = 0x0, CKO_PRIVATE_KEY = 0x3;
    static final long CKM_SHA256 = 0x250, CKM_ECDSA = 0x1041;

    /** CK_C_INITIALIZE_ARGS: four mutex function pointers, flags, pReserved. */
    static final int INIT_ARGS_SIZE = 48, INIT_ARGS_FLAGS = 32;
    /** CK_SESSION_INFO: slotID, state, flags, ulDeviceError. */
    static final int SESSION_INFO_SIZE = 32;
    /** CK_MECHANISM and CK_ATTRIBUTE alike: a CK_ULONG, a pointer, a length. */
    static final int TRIPLE_SIZE = 24, TRIPLE_POINTER = 8, TRIPLE_LENGTH = 16;
}
