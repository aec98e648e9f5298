// The 65 regular token natives as the VM calls them, written out from the
// Cryptoki prototypes independently of the library's own table:
// U an integer (long), P a JNI$Pointer, B a boolean, R a reserved pointer
// (long), IO an in/out long[] cell, O an output long[] cell.
#ifndef ORVJNI_TEST_TOKEN_NATIVES_H
#define ORVJNI_TEST_TOKEN_NATIVES_H

#include <jni.h>

struct U { typedef jlong J; };
struct P { typedef jobject J; };
struct B { typedef jboolean J; };
struct R { typedef jlong J; };
struct IO { typedef jlongArray J; };
struct O { typedef jlongArray J; };

#define TOKEN_NATIVES(X)                                   \
    X(Finalize, R)                                         \
    X(GetInfo, P)                                          \
    X(GetSlotList, B, P, IO)                               \
    X(GetSlotInfo, U, P)                                   \
    X(GetTokenInfo, U, P)                                  \
    X(WaitForSlotEvent, U, IO, R)                          \
    X(GetMechanismList, U, P, IO)                          \
    X(GetMechanismInfo, U, U, P)                           \
    X(InitToken, U, P, U, P)                               \
    X(InitPIN, U, P, U)                                    \
    X(SetPIN, U, P, U, P, U)                               \
    X(CloseSession, U)                                     \
    X(CloseAllSessions, U)                                 \
    X(GetSessionInfo, U, P)                                \
    X(GetOperationState, U, P, IO)                         \
    X(SetOperationState, U, P, U, U, U)                    \
    X(Login, U, U, P, U)                                   \
    X(Logout, U)                                           \
    X(CreateObject, U, P, U, O)                            \
    X(CopyObject, U, U, P, U, O)                           \
    X(DestroyObject, U, U)                                 \
    X(GetObjectSize, U, U, IO)                             \
    X(GetAttributeValue, U, U, P, U)                       \
    X(SetAttributeValue, U, U, P, U)                       \
    X(FindObjectsInit, U, P, U)                            \
    X(FindObjects, U, P, U, IO)                            \
    X(FindObjectsFinal, U)                                 \
    X(GetFunctionStatus, U)                                \
    X(CancelFunction, U)                                   \
    X(EncryptInit, U, P, U)                                \
    X(Encrypt, U, P, U, P, IO)                             \
    X(EncryptUpdate, U, P, U, P, IO)                       \
    X(EncryptFinal, U, P, IO)                              \
    X(DecryptInit, U, P, U)                                \
    X(Decrypt, U, P, U, P, IO)                             \
    X(DecryptUpdate, U, P, U, P, IO)                       \
    X(DecryptFinal, U, P, IO)                              \
    X(DigestInit, U, P)                                    \
    X(Digest, U, P, U, P, IO)                              \
    X(DigestUpdate, U, P, U)                               \
    X(DigestKey, U, U)                                     \
    X(DigestFinal, U, P, IO)                               \
    X(SignInit, U, P, U)                                   \
    X(Sign, U, P, U, P, IO)                                \
    X(SignUpdate, U, P, U)                                 \
    X(SignFinal, U, P, IO)                                 \
    X(SignRecoverInit, U, P, U)                            \
    X(SignRecover, U, P, U, P, IO)                         \
    X(VerifyInit, U, P, U)                                 \
    X(Verify, U, P, U, P, U)                               \
    X(VerifyUpdate, U, P, U)                               \
    X(VerifyFinal, U, P, U)                                \
    X(VerifyRecoverInit, U, P, U)                          \
    X(VerifyRecover, U, P, U, P, IO)                       \
    X(DigestEncryptUpdate, U, P, U, P, IO)                 \
    X(DecryptDigestUpdate, U, P, U, P, IO)                 \
    X(SignEncryptUpdate, U, P, U, P, IO)                   \
    X(DecryptVerifyUpdate, U, P, U, P, IO)                 \
    X(GenerateKey, U, P, P, U, O)                          \
    X(GenerateKeyPair, U, P, P, U, P, U, O, O)             \
    X(WrapKey, U, P, U, U, P, IO)                          \
    X(UnwrapKey, U, P, U, P, U, P, U, O)                   \
    X(DeriveKey, U, P, U, P, U, O)                         \
    X(SeedRandom, U, P, U)                                 \
    X(GenerateRandom, U, P, U)

#define TN_J1(a) a::J
#define TN_J2(a, ...) a::J, TN_J1(__VA_ARGS__)
#define TN_J3(a, ...) a::J, TN_J2(__VA_ARGS__)
#define TN_J4(a, ...) a::J, TN_J3(__VA_ARGS__)
#define TN_J5(a, ...) a::J, TN_J4(__VA_ARGS__)
#define TN_J6(a, ...) a::J, TN_J5(__VA_ARGS__)
#define TN_J7(a, ...) a::J, TN_J6(__VA_ARGS__)
#define TN_J8(a, ...) a::J, TN_J7(__VA_ARGS__)
#define TN_COUNT(...) TN_COUNT_(__VA_ARGS__, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define TN_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, n, ...) n
#define TN_CAT(a, b) TN_CAT_(a, b)
#define TN_CAT_(a, b) a##b
#define TN_TYPES(...) TN_CAT(TN_J, TN_COUNT(__VA_ARGS__))(__VA_ARGS__)

#define TN_DECLARE(Name, ...) \
    jlong JNICALL Java_Orvalith_Base_JNI_c_1##Name(JNIEnv *, jclass, jlong, TN_TYPES(__VA_ARGS__));
extern "C" {
TOKEN_NATIVES(TN_DECLARE)
jlong JNICALL Java_Orvalith_Base_JNI_c_1Initialize(JNIEnv *, jclass, jlong, jobject);
jlong JNICALL Java_Orvalith_Base_JNI_c_1OpenSession(JNIEnv *, jclass, jlong, jlong, jlong, jobject,
                                                   jobject, jlongArray);
}

#endif
