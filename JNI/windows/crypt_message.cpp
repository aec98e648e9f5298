// Whole messages and the keys of certificates: signing messages into one
// signed message, decrypting an enveloped message, and acquiring the
// private key that belongs to a certificate.
#if defined(_WIN32)
#include "windows/conventions_extra.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static const char kSignMessage[] = "cryptSignMessage";

static jboolean RefuseSign(const char *why) {
    jboolean answer = RefuseBool();
    if (TraceOn()) TraceWinRefusal(kSignMessage, why);
    return answer;
}

// A length past a registered block: refused, and the trace says which.
static jboolean RefuseSignBounds(const char *what, size_t index, const void *block, size_t length) {
    jboolean answer = RefuseBool();
    if (TraceOn()) {
        char which[48];
        if (index == SIZE_MAX) snprintf(which, sizeof which, "%s", what);
        else snprintf(which, sizeof which, "%s %lu", what, static_cast<unsigned long>(index));
        TraceBoundsRefusal(kSignMessage, which, block, length, 1);
    }
    return answer;
}

#define ORV_MESSAGES_SHOWN 4

// The call's line: the messages as the platform got them, address and
// length each, never their content.
static void TraceSign(JNIEnv *env, jobject signPara, jboolean detached, size_t n, const BYTE *const *addresses,
                      const jint *lengths, jobject signedBlob, DWORD capacity, const DataWithLength &blob,
                      BOOL ok, DWORD error, uint64_t took) {
    TraceLine line;
    TraceWinBegin(&line, kSignMessage);
    TracePointer(&line, env, signPara);
    TraceAdd(&line, ", %s, 0x%lx, {", detached ? "TRUE" : "FALSE", static_cast<unsigned long>(n));
    for (size_t i = 0; i < n && i < ORV_MESSAGES_SHOWN; i++)
        TraceAdd(&line, "%s0x%lx[%ld bytes]", i > 0 ? ", " : "", TraceBits(addresses[i]),
                 static_cast<long>(lengths[i]));
    TraceAdd(&line, n > ORV_MESSAGES_SHOWN ? ", ...}, " : "}, ");
    TracePointer(&line, env, signedBlob);
    TraceAdd(&line, ", ");
    TraceCell(&line, true, capacity, true, blob.length);
    TraceAdd(&line, ") = ");
    TraceBoolAnswer(&line, ok, error);
    TraceWinEnd(&line, WinTrace{kSignMessage, kWinCalled, 0, nullptr, error, took});
}

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
        return RefuseSign("a Pointer without \"p\" or a null or empty length cell");
    if (blob.block != nullptr && !FitsBlock(blob.block, blob.length, 1))
        return RefuseSignBounds("the signed-message capacity", SIZE_MAX, blob.block, blob.length);
    if (count < 0) return RefuseSign("a negative message count");
    if (count > 0 && (messages == nullptr || messageLengths == nullptr ||
                      env->GetArrayLength(messages) < count ||
                      env->GetArrayLength(messageLengths) < count))
        return RefuseSign("message arrays shorter than the count");

    size_t n = static_cast<size_t>(count);
    const BYTE **addresses = n <= SIZE_MAX / sizeof(BYTE *)
                                 ? static_cast<const BYTE **>(malloc(n ? n * sizeof(BYTE *) : 1))
                                 : nullptr;
    jint *lengths = nullptr;
    if (messageLengths != nullptr) {
        lengths = env->GetIntArrayElements(messageLengths, nullptr);
        if (lengths == nullptr) {  // the VM's own out-of-memory error is pending
            free(addresses);
            return RefuseSign("message lengths the VM could not supply");
        }
    }
    bool usable = addresses != nullptr;
    if (!usable) ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
    size_t past = SIZE_MAX;  // the message whose length runs past its block
    for (size_t i = 0; usable && i < n; i++) {
        jobject message = env->GetObjectArrayElement(messages, static_cast<jsize>(i));
        void *block = nullptr;
        usable = !env->ExceptionCheck() && ReadBlock(env, message, &block);
        if (usable && block != nullptr && !FitsBlock(block, static_cast<DWORD>(lengths[i]), 1)) {
            usable = false;
            past = i;
        }
        addresses[i] = static_cast<const BYTE *>(block);
        // One local per message would otherwise stay until the native returns.
        env->DeleteLocalRef(message);
    }
    if (!usable) {
        jboolean answer = past != SIZE_MAX
                              ? RefuseSignBounds("message", past, addresses[past],
                                                 static_cast<DWORD>(lengths[past]))
                              : RefuseSign(addresses == nullptr ? "no memory for the message addresses"
                                                                : "a message Pointer that cannot be passed");
        DWORD error = GetLastError();
        free(addresses);
        if (lengths != nullptr) env->ReleaseIntArrayElements(messageLengths, lengths, JNI_ABORT);
        SetLastError(error);
        return answer;
    }

    bool traced = TraceOn();
    DWORD capacity = blob.length;
    uint64_t started = traced ? TraceClock() : 0;
    BOOL ok = CryptSignMessage(static_cast<PCRYPT_SIGN_MESSAGE_PARA>(para), detached ? TRUE : FALSE,
                               static_cast<DWORD>(count), addresses,
                               reinterpret_cast<DWORD *>(lengths),
                               static_cast<BYTE *>(blob.block), &blob.length);
    DWORD error = GetLastError();
    if (traced)
        TraceSign(env, signPara, detached, n, addresses, lengths, signedBlob, capacity, blob, ok, error,
                  TraceClock() - started);
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
