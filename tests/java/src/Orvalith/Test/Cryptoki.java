package Orvalith.Test;

import java.util.List;

/**
 * Cryptoki facts that the tests share: the positions of the functions in
 * CK_FUNCTION_LIST (which the test module also uses to number its records)
 * and a few return values.
 */
public final class Cryptoki {
    private Cryptoki() {
    }

    public static final long CKR_OK = 0;
    public static final long CKR_FUNCTION_FAILED = 6;
    public static final long CKR_ARGUMENTS_BAD = 7;
    public static final long CKR_BUFFER_TOO_SMALL = 0x150;
    public static final long CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191;
    public static final long CKR_VENDOR_DEFINED = 0x80000000L;
    /** What the bridge answers without a module or without the function. */
    public static final long CKR_NO_FUNCTION = 0x80000001L;

    /** Function names by table position. */
    public static final List<String> ENTRY_NAMES = List.of(
            "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList", "C_GetSlotList", "C_GetSlotInfo",
            "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo", "C_InitToken", "C_InitPIN", "C_SetPIN",
            "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_GetSessionInfo", "C_GetOperationState",
            "C_SetOperationState", "C_Login", "C_Logout", "C_CreateObject", "C_CopyObject", "C_DestroyObject",
            "C_GetObjectSize", "C_GetAttributeValue", "C_SetAttributeValue", "C_FindObjectsInit", "C_FindObjects",
            "C_FindObjectsFinal", "C_EncryptInit", "C_Encrypt", "C_EncryptUpdate", "C_EncryptFinal", "C_DecryptInit",
            "C_Decrypt", "C_DecryptUpdate", "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate",
            "C_DigestKey", "C_DigestFinal", "C_SignInit", "C_Sign", "C_SignUpdate", "C_SignFinal",
            "C_SignRecoverInit", "C_SignRecover", "C_VerifyInit", "C_Verify", "C_VerifyUpdate", "C_VerifyFinal",
            "C_VerifyRecoverInit", "C_VerifyRecover", "C_DigestEncryptUpdate", "C_DecryptDigestUpdate",
            "C_SignEncryptUpdate", "C_DecryptVerifyUpdate", "C_GenerateKey", "C_GenerateKeyPair", "C_WrapKey",
            "C_UnwrapKey", "C_DeriveKey", "C_SeedRandom", "C_GenerateRandom", "C_GetFunctionStatus",
            "C_CancelFunction", "C_WaitForSlotEvent");

    // Table positions.
    public static final int C_Initialize = 0;
    public static final int C_Finalize = 1;
    public static final int C_GetInfo = 2;
    public static final int C_GetFunctionList = 3;
    public static final int C_GetSlotList = 4;
    public static final int C_GetSlotInfo = 5;
    public static final int C_GetTokenInfo = 6;
    public static final int C_GetMechanismList = 7;
    public static final int C_GetMechanismInfo = 8;
    public static final int C_InitToken = 9;
    public static final int C_InitPIN = 10;
    public static final int C_SetPIN = 11;
    public static final int C_OpenSession = 12;
    public static final int C_CloseSession = 13;
    public static final int C_CloseAllSessions = 14;
    public static final int C_GetSessionInfo = 15;
    public static final int C_GetOperationState = 16;
    public static final int C_SetOperationState = 17;
    public static final int C_Login = 18;
    public static final int C_Logout = 19;
    public static final int C_CreateObject = 20;
    public static final int C_CopyObject = 21;
    public static final int C_DestroyObject = 22;
    public static final int C_GetObjectSize = 23;
    public static final int C_GetAttributeValue = 24;
    public static final int C_SetAttributeValue = 25;
    public static final int C_FindObjectsInit = 26;
    public static final int C_FindObjects = 27;
    public static final int C_FindObjectsFinal = 28;
    public static final int C_EncryptInit = 29;
    public static final int C_Encrypt = 30;
    public static final int C_EncryptUpdate = 31;
    public static final int C_EncryptFinal = 32;
    public static final int C_DecryptInit = 33;
    public static final int C_Decrypt = 34;
    public static final int C_DecryptUpdate = 35;
    public static final int C_DecryptFinal = 36;
    public static final int C_DigestInit = 37;
    public static final int C_Digest = 38;
    public static final int C_DigestUpdate = 39;
    public static final int C_DigestKey = 40;
    public static final int C_DigestFinal = 41;
    public static final int C_SignInit = 42;
    public static final int C_Sign = 43;
    public static final int C_SignUpdate = 44;
    public static final int C_SignFinal = 45;
    public static final int C_SignRecoverInit = 46;
    public static final int C_SignRecover = 47;
    public static final int C_VerifyInit = 48;
    public static final int C_Verify = 49;
    public static final int C_VerifyUpdate = 50;
    public static final int C_VerifyFinal = 51;
    public static final int C_VerifyRecoverInit = 52;
    public static final int C_VerifyRecover = 53;
    public static final int C_DigestEncryptUpdate = 54;
    public static final int C_DecryptDigestUpdate = 55;
    public static final int C_SignEncryptUpdate = 56;
    public static final int C_DecryptVerifyUpdate = 57;
    public static final int C_GenerateKey = 58;
    public static final int C_GenerateKeyPair = 59;
    public static final int C_WrapKey = 60;
    public static final int C_UnwrapKey = 61;
    public static final int C_DeriveKey = 62;
    public static final int C_SeedRandom = 63;
    public static final int C_GenerateRandom = 64;
    public static final int C_GetFunctionStatus = 65;
    public static final int C_CancelFunction = 66;
    public static final int C_WaitForSlotEvent = 67;

    /** Position of a function by name. */
    public static int entry(String name) {
        int i = ENTRY_NAMES.indexOf(name);
        if (i < 0) {
            throw new IllegalArgumentException(name);
        }
        return i;
    }
}
