// Whole messages and the keys of certificates: signing messages into one
// signed message, decrypting an enveloped message, and acquiring the
// private key that belongs to a certificate.
#if defined(_WIN32)
#include "windows/conventions_extra.h"

#include <stdint.h>
#include <stdlib.h>

// The Java side lays the parameter records out in blocks; their addresses
// go to the platform unchanged.
//
// The messages come as Pointer[] beside their lengths as int[]: the
// addresses are gathered into an array of the call's own, and the lengths
// are the Java array's elements, given back without copy-back.  Any
// message Pointer without "p", a count the arrays cannot hold, or a
// length cell without room stops the native before the platform is
// called, as for any other argument it could not use.  So does a length
// that runs past a block the registry knows: a message length the
// platform would read beyond, or a signed-message capacity it would
// write beyond.
extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_cryptSignMessage(
    JNIEnv *env, jclass, jobject signPara, jboolean detached, jint count, jobjectArray messages,
    jintArray messageLengths, jobject signedBlob, jintArray signedBlobLen) {
    void *para = nullptr;
    DataWithLength blob;
    if (!ReadBlock(env, signPara, &para) || !ReadDataWithLength(env, signedBlob, signedBlobLen, &blob))
        return RefuseBool();
    if (blob.block != nullptr && !FitsBlock(blob.block, blob.length, 1)) return RefuseBool();
    if (count < 0) return RefuseBool();
    if (count > 0 && (messages == nullptr || messageLengths == nullptr ||
                      env->GetArrayLength(messages) < count ||
                      env->GetArrayLength(messageLengths) < count))
        return RefuseBool();

    size_t n = static_cast<size_t>(count);
    const BYTE **addresses = n <= SIZE_MAX / sizeof(BYTE *)
                                 ? static_cast<const BYTE **>(malloc(n ? n * sizeof(BYTE *) : 1))
                                 : nullptr;
    jint *lengths = nullptr;
    if (messageLengths != nullptr) {
        lengths = env->GetIntArrayElements(messageLengths, nullptr);
        if (lengths == nullptr) {  // the VM's own out-of-memory error is pending
            free(addresses);
            return RefuseBool();
        }
    }
    bool usable = addresses != nullptr;
    if (!usable) ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
    for (size_t i = 0; usable && i < n; i++) {
        jobject message = env->GetObjectArrayElement(messages, static_cast<jsize>(i));
        void *block = nullptr;
        usable = !env->ExceptionCheck() && ReadBlock(env, message, &block) &&
                 (block == nullptr || FitsBlock(block, static_cast<DWORD>(lengths[i]), 1));
        addresses[i] = static_cast<const BYTE *>(block);
        // One local per message would otherwise stay until the native returns.
        env->DeleteLocalRef(message);
    }
    if (!usable) {
        free(addresses);
        if (lengths != nullptr) env->ReleaseIntArrayElements(messageLengths, lengths, JNI_ABORT);
        return RefuseBool();
    }

    BOOL ok = CryptSignMessage(static_cast<PCRYPT_SIGN_MESSAGE_PARA>(para), detached ? TRUE : FALSE,
                               static_cast<DWORD>(count), addresses,
                               reinterpret_cast<DWORD *>(lengths),
                               static_cast<BYTE *>(blob.block), &blob.length);
    DWORD error = GetLastError();
    WriteDataWithLength(env, signedBlob, signedBlobLen, blob);
    free(addresses);
    if (lengths != nullptr) env->ReleaseIntArrayElements(messageLengths, lengths, JNI_ABORT);
    SetLastError(error);
    return BoolOut(ok);
}

static_assert(sizeof(jint) == sizeof(DWORD), "the lengths go to the platform as they are");

// The decrypted block and its length cell are written first, then the
// exchange certificate's Pointer (a null context after a failure).
ORV_WIN_NATIVE(cryptDecryptMessage, CryptDecryptMessage, BoolResult,
               DataArg, DataArg, DwordArg, DataArg, LengthCellArg<3>, ContextOutArg)

// The key handle (a provider or a CNG key, as the platform chooses) comes
// back zero-extended; key spec and caller-free flag as the platform set
// them, and 0 where a failed call set nothing.
ORV_WIN_NATIVE(cryptAcquireCertificatePrivateKey, CryptAcquireCertificatePrivateKey, BoolResult,
               DataArg, DwordArg, HandleArg, NewHandleCellArg, NewDwordCellArg, FlagCellArg)

#endif
