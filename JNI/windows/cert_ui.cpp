// The certificate dialogs and the import wizard of cryptui.dll.  Java lays
// out the CryptUI structures in blocks; the natives pass the addresses on.
#if defined(_WIN32)
#include "windows/runtime_binding.h"

// The structures stay opaque here: the bridge never looks inside them.
typedef BOOL(WINAPI *ViewCertificateFn)(const void *view_info, BOOL *properties_changed);
typedef PCCERT_CONTEXT(WINAPI *SelectCertificateFn)(const void *select_info);
typedef BOOL(WINAPI *WizImportFn)(DWORD flags, HWND parent, LPCWSTR title, const void *source,
                                  HCERTSTORE destination);

// What Java sees of the chosen context: CryptoAPI's CERT_CONTEXT of the
// 32-bit platform.
static const jint kCertContextSize = 20;
static_assert(sizeof(CERT_CONTEXT) == kCertContextSize, "the 32-bit CERT_CONTEXT");

ORV_BOUND_NATIVE(cryptUIDlgViewCertificate, kCryptUIDlgViewCertificateW, ViewCertificateFn,
                 BoundBoolResult, DataArg, FlagCellArg)

// The dialog runs for as long as the user keeps it open, on the calling
// thread.  Without the dialog, or without a choice, Java gets the Pointer
// of no context: address 0, size -1.
static const char kSelect[] = "cryptUIDlgSelectCertificate";

static void TraceSelect(JNIEnv *env, jobject select_info, bool bound, PCCERT_CONTEXT chosen, DWORD error,
                        uint64_t took) {
    TraceLine line;
    TraceWinBegin(&line, kSelect);
    TracePointer(&line, env, select_info);
    TraceAdd(&line, bound ? ") = " : ") not called: %s cannot be bound = ",
             RuntimeEntryName(kCryptUIDlgSelectCertificateW));
    TraceAddressAnswer(&line, chosen, error);
    TraceWinEnd(&line, WinTrace{kSelect, bound ? kWinCalled : kWinUnavailable, 1, nullptr, error, took});
}

extern "C" JNIEXPORT jobject JNICALL
Java_Orvalith_Base_JNI_cryptUIDlgSelectCertificate(JNIEnv *env, jclass, jobject select_info) {
    void *info = nullptr;
    // No block behind the object: the bridge exception is pending, and an
    // object made now would only hide it.
    if (!ReadBlock(env, select_info, &info)) {
        if (TraceOn()) TraceDecision(kSelect, "refused: a Pointer without \"p\" = null");
        return nullptr;
    }
    SelectCertificateFn select =
        reinterpret_cast<SelectCertificateFn>(BindRuntimeEntry(kCryptUIDlgSelectCertificateW));
    bool traced = TraceOn();
    uint64_t started = traced ? TraceClock() : 0;
    PCCERT_CONTEXT chosen = select != nullptr ? select(info) : nullptr;
    DWORD error = GetLastError();
    if (traced) TraceSelect(env, select_info, select != nullptr, chosen, error, TraceClock() - started);
    jobject result = NewPointer(env, chosen, kCertContextSize);
    SetLastError(error);
    return result;
}

// Bound before anything is read: without the wizard nothing is taken.
extern "C" JNIEXPORT jboolean JNICALL Java_Orvalith_Base_JNI_cryptUIWizImport(
    JNIEnv *env, jclass, jint flags, jlong parent, jstring title, jobject source,
    jlong destination) {
    return BoundCall<BoundBoolResult, DwordArg, HandleArg, WideArg, DataArg, HandleArg>::Call<
        WizImportFn, true>("cryptUIWizImport", kCryptUIWizImport, env, flags, parent, title, source,
                            destination);
}

#endif
