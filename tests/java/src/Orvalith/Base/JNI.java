package Orvalith.Base;

/**
 * Stand-in for the class library's bridge class, declaring the natives of
 * the Linux and macOS builds exactly as the native library exports them.
 * Only what the natives rely on is modelled; nothing here adds behaviour.
 *
 * Argument kinds of the token natives: {@code long} for Cryptoki integers
 * and reserved pointers, {@link Pointer} for memory the caller supplies,
 * {@code boolean} for a CK_BBOOL, and a one-element {@code long[]} cell for
 * each CK_ULONG the module writes.  Every token native answers the module's
 * CK_RV, or 0x80000001 when there is no module or no such function.
 */
public final class JNI {
    static {
        String path = System.getProperty("orvjni.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("orvjni64");
        }
    }

    private JNI() {
    }

    /** Runs the class initialiser above, which loads the library, if it has not run yet. */
    static void ensureLoaded() {
    }

    /** Native memory: a block of the bridge's heap, or a pinned Java array. */
    public static class Pointer {
        static {
            // Its natives live in the same library; a test may use this class first.
            ensureLoaded();
        }

        /** Block address; 0 for none. */
        public long p;
        /** The pinned array, or null for heap blocks. */
        public Object o;
        /** Length in bytes; -1 once released. */
        public int size;

        public Pointer(long p, Object o, int size) {
            this.p = p;
            this.o = o;
            this.size = size;
        }

        public static native Pointer getInstance(int[] array);

        public static native Pointer getInstance(long[] array);

        public static native Pointer getInstance(byte[] array);

        public static native Pointer getInstance(byte[] array, int offset);

        public static native Pointer getInstance(int size);

        public static native Pointer getInstance(String s, boolean unicode);

        public static native byte getPlatformSize();

        public static native byte getPlatformLongIntSize();

        public native void addReference();

        public native void free();

        public native byte[] getContent();

        public native String getContentAsString(boolean unicode);

        /** Copies from the Java array into dst's block; never the other way. */
        public static native void copy(byte[] src, int srcOffset, Pointer dst, int dstOffset, int length);

        public native long[] getNativeArrayAsLongs();

        @Override
        public String toString() {
            return "Pointer(p=0x" + Long.toHexString(p) + ", o=" + (o == null ? "null" : o.getClass().getSimpleName())
                    + ", size=" + size + ")";
        }
    }

    /** Arguments of c_Initialize; the bridge reads the fields by name. */
    public static class CK_C_INITIALIZE_ARGS {
        public boolean useMutexes;
        public long flags;
        public long pReserved;

        public CK_C_INITIALIZE_ARGS() {
        }

        public CK_C_INITIALIZE_ARGS(boolean useMutexes, long flags, long pReserved) {
            this.useMutexes = useMutexes;
            this.flags = flags;
            this.pReserved = pReserved;
        }
    }

    /**
     * The variant with library parameters.  It extends the plain class so
     * that code handling plain arguments takes it too; the bridge tells the
     * two apart by instance test against this class, so its subclasses
     * count as this kind and the plain class does not.
     */
    public static class CK_C_INITIALIZE_ARGS_NSS extends CK_C_INITIALIZE_ARGS {
        /** Address of the parameter text in native memory; 0 for none. */
        public long LibraryParams;

        public CK_C_INITIALIZE_ARGS_NSS() {
        }

        public CK_C_INITIALIZE_ARGS_NSS(boolean useMutexes, long flags, long pReserved, long libraryParams) {
            super(useMutexes, flags, pReserved);
            this.LibraryParams = libraryParams;
        }
    }

    /** Named in store-enumeration callbacks of the Windows build only. */
    public static class CERT_SYSTEM_STORE_INFO {
    }

    // Module loader.

    public static native long loadExternalModule(String path);

    public static native void unloadExternalModule(long module);

    // Initialisation and sessions.

    public static native long c_Initialize(long module, Object args);

    public static native long c_OpenSession(long module, long slot, long flags, Object application, Object callback,
            long[] session);

    // General purpose, slot and token management.

    public static native long c_Finalize(long module, long pReserved);

    public static native long c_GetInfo(long module, Pointer pInfo);

    public static native long c_GetSlotList(long module, boolean tokenPresent, Pointer pSlotList, long[] pulCount);

    public static native long c_GetSlotInfo(long module, long slotID, Pointer pInfo);

    public static native long c_GetTokenInfo(long module, long slotID, Pointer pInfo);

    public static native long c_WaitForSlotEvent(long module, long flags, long[] pSlot, long pReserved);

    public static native long c_GetMechanismList(long module, long slotID, Pointer pMechanismList, long[] pulCount);

    public static native long c_GetMechanismInfo(long module, long slotID, long type, Pointer pInfo);

    public static native long c_InitToken(long module, long slotID, Pointer pPin, long ulPinLen, Pointer pLabel);

    public static native long c_InitPIN(long module, long hSession, Pointer pPin, long ulPinLen);

    public static native long c_SetPIN(long module, long hSession, Pointer pOldPin, long ulOldLen, Pointer pNewPin,
            long ulNewLen);

    // Session management.

    public static native long c_CloseSession(long module, long hSession);

    public static native long c_CloseAllSessions(long module, long slotID);

    public static native long c_GetSessionInfo(long module, long hSession, Pointer pInfo);

    public static native long c_GetOperationState(long module, long hSession, Pointer pOperationState,
            long[] pulOperationStateLen);

    public static native long c_SetOperationState(long module, long hSession, Pointer pOperationState,
            long ulOperationStateLen, long hEncryptionKey, long hAuthenticationKey);

    public static native long c_Login(long module, long hSession, long userType, Pointer pPin, long ulPinLen);

    public static native long c_Logout(long module, long hSession);

    // Object management.

    public static native long c_CreateObject(long module, long hSession, Pointer pTemplate, long ulCount,
            long[] phObject);

    public static native long c_CopyObject(long module, long hSession, long hObject, Pointer pTemplate, long ulCount,
            long[] phNewObject);

    public static native long c_DestroyObject(long module, long hSession, long hObject);

    public static native long c_GetObjectSize(long module, long hSession, long hObject, long[] pulSize);

    public static native long c_GetAttributeValue(long module, long hSession, long hObject, Pointer pTemplate,
            long ulCount);

    public static native long c_SetAttributeValue(long module, long hSession, long hObject, Pointer pTemplate,
            long ulCount);

    public static native long c_FindObjectsInit(long module, long hSession, Pointer pTemplate, long ulCount);

    public static native long c_FindObjects(long module, long hSession, Pointer phObject, long ulMaxObjectCount,
            long[] pulObjectCount);

    public static native long c_FindObjectsFinal(long module, long hSession);

    // Parallel function management.

    public static native long c_GetFunctionStatus(long module, long hSession);

    public static native long c_CancelFunction(long module, long hSession);

    // Encryption and decryption.

    public static native long c_EncryptInit(long module, long hSession, Pointer pMechanism, long hKey);

    public static native long c_Encrypt(long module, long hSession, Pointer pData, long ulDataLen,
            Pointer pEncryptedData, long[] pulEncryptedDataLen);

    public static native long c_EncryptUpdate(long module, long hSession, Pointer pPart, long ulPartLen,
            Pointer pEncryptedPart, long[] pulEncryptedPartLen);

    public static native long c_EncryptFinal(long module, long hSession, Pointer pLastEncryptedPart,
            long[] pulLastEncryptedPartLen);

    public static native long c_DecryptInit(long module, long hSession, Pointer pMechanism, long hKey);

    public static native long c_Decrypt(long module, long hSession, Pointer pEncryptedData, long ulEncryptedDataLen,
            Pointer pData, long[] pulDataLen);

    public static native long c_DecryptUpdate(long module, long hSession, Pointer pEncryptedPart,
            long ulEncryptedPartLen, Pointer pPart, long[] pulPartLen);

    public static native long c_DecryptFinal(long module, long hSession, Pointer pLastPart, long[] pulLastPartLen);

    // Message digesting.

    public static native long c_DigestInit(long module, long hSession, Pointer pMechanism);

    public static native long c_Digest(long module, long hSession, Pointer pData, long ulDataLen, Pointer pDigest,
            long[] pulDigestLen);

    public static native long c_DigestUpdate(long module, long hSession, Pointer pPart, long ulPartLen);

    public static native long c_DigestKey(long module, long hSession, long hKey);

    public static native long c_DigestFinal(long module, long hSession, Pointer pDigest, long[] pulDigestLen);

    // Signing and MACing.

    public static native long c_SignInit(long module, long hSession, Pointer pMechanism, long hKey);

    public static native long c_Sign(long module, long hSession, Pointer pData, long ulDataLen, Pointer pSignature,
            long[] pulSignatureLen);

    public static native long c_SignUpdate(long module, long hSession, Pointer pPart, long ulPartLen);

    public static native long c_SignFinal(long module, long hSession, Pointer pSignature, long[] pulSignatureLen);

    public static native long c_SignRecoverInit(long module, long hSession, Pointer pMechanism, long hKey);

    public static native long c_SignRecover(long module, long hSession, Pointer pData, long ulDataLen,
            Pointer pSignature, long[] pulSignatureLen);

    // Verification.

    public static native long c_VerifyInit(long module, long hSession, Pointer pMechanism, long hKey);

    public static native long c_Verify(long module, long hSession, Pointer pData, long ulDataLen, Pointer pSignature,
            long ulSignatureLen);

    public static native long c_VerifyUpdate(long module, long hSession, Pointer pPart, long ulPartLen);

    public static native long c_VerifyFinal(long module, long hSession, Pointer pSignature, long ulSignatureLen);

    public static native long c_VerifyRecoverInit(long module, long hSession, Pointer pMechanism, long hKey);

    public static native long c_VerifyRecover(long module, long hSession, Pointer pSignature, long ulSignatureLen,
            Pointer pData, long[] pulDataLen);

    // Dual-function operations.

    public static native long c_DigestEncryptUpdate(long module, long hSession, Pointer pPart, long ulPartLen,
            Pointer pEncryptedPart, long[] pulEncryptedPartLen);

    public static native long c_DecryptDigestUpdate(long module, long hSession, Pointer pEncryptedPart,
            long ulEncryptedPartLen, Pointer pPart, long[] pulPartLen);

    public static native long c_SignEncryptUpdate(long module, long hSession, Pointer pPart, long ulPartLen,
            Pointer pEncryptedPart, long[] pulEncryptedPartLen);

    public static native long c_DecryptVerifyUpdate(long module, long hSession, Pointer pEncryptedPart,
            long ulEncryptedPartLen, Pointer pPart, long[] pulPartLen);

    // Key management.

    public static native long c_GenerateKey(long module, long hSession, Pointer pMechanism, Pointer pTemplate,
            long ulCount, long[] phKey);

    public static native long c_GenerateKeyPair(long module, long hSession, Pointer pMechanism,
            Pointer pPublicKeyTemplate, long ulPublicKeyAttributeCount, Pointer pPrivateKeyTemplate,
            long ulPrivateKeyAttributeCount, long[] phPublicKey, long[] phPrivateKey);

    public static native long c_WrapKey(long module, long hSession, Pointer pMechanism, long hWrappingKey, long hKey,
            Pointer pWrappedKey, long[] pulWrappedKeyLen);

    public static native long c_UnwrapKey(long module, long hSession, Pointer pMechanism, long hUnwrappingKey,
            Pointer pWrappedKey, long ulWrappedKeyLen, Pointer pTemplate, long ulAttributeCount, long[] phKey);

    public static native long c_DeriveKey(long module, long hSession, Pointer pMechanism, long hBaseKey,
            Pointer pTemplate, long ulAttributeCount, long[] phKey);

    // Random number generation.

    public static native long c_SeedRandom(long module, long hSession, Pointer pSeed, long ulSeedLen);

    public static native long c_GenerateRandom(long module, long hSession, Pointer RandomData, long ulRandomLen);
}
