// CNG key storage: one native per ncrypt.dll function, its parameters in
// the function's own order.  Handles go in by their low 32 bits and come
// out zero-extended in long cells; byte counts come out in int cells; the
// SECURITY_STATUS goes back to Java unchanged.
#if defined(_WIN32)
#include "windows/runtime_binding.h"

#include <ncrypt.h>
#include <wchar.h>

// The prototypes come from the SDK's declarations, so a native cannot
// call its function with the wrong parameter list; nothing is linked.
#define ORV_CNG_NATIVE(Name, Entry, Result, ...) \
    ORV_BOUND_NATIVE(Name, k##Entry, decltype(&::Entry), Result, __VA_ARGS__)

// Keys: creation, opening, import and export, deletion.
ORV_CNG_NATIVE(nCryptOpenStorageProvider, NCryptOpenStorageProvider, CngStatusResult,
               NewHandleCellArg, WideArg, DwordArg)

ORV_CNG_NATIVE(nCryptCreatePersistedKey, NCryptCreatePersistedKey, CngStatusResult,
               HandleArg, NewHandleCellArg, WideArg, WideArg, DwordArg, DwordArg)

ORV_CNG_NATIVE(nCryptOpenKey, NCryptOpenKey, CngStatusResult,
               HandleArg, NewHandleCellArg, WideArg, DwordArg, DwordArg)

ORV_CNG_NATIVE(nCryptFinalizeKey, NCryptFinalizeKey, CngStatusResult, HandleArg, DwordArg)

ORV_CNG_NATIVE(nCryptDeleteKey, NCryptDeleteKey, CngStatusResult, HandleArg, DwordArg)

ORV_CNG_NATIVE(nCryptImportKey, NCryptImportKey, CngStatusResult,
               HandleArg, HandleArg, WideArg, DataArg, NewHandleCellArg, DataArg, DwordArg,
               DwordArg)

ORV_CNG_NATIVE(nCryptExportKey, NCryptExportKey, CngStatusResult,
               HandleArg, HandleArg, WideArg, DataArg, DataArg, DwordArg, CountCellArg, DwordArg)

// Both handles come back; Java may leave out the provider's cell.
ORV_CNG_NATIVE(nCryptTranslateHandle, NCryptTranslateHandle, CngStatusResult,
               Optional<NewHandleCellArg>, NewHandleCellArg, HandleArg, HandleArg, DwordArg,
               DwordArg)

// Objects, buffers and properties.
ORV_CNG_NATIVE(nCryptFreeObject, NCryptFreeObject, CngStatusResult, HandleArg)

ORV_CNG_NATIVE(nCryptFreeBuffer, NCryptFreeBuffer, CngStatusResult, DataArg)

// The properties whose value is a PIN or a password.  Property names are
// compared without regard to case, as the providers compare them.
static bool IsSecretProperty(const WCHAR *name) {
    static const WCHAR *const kSecret[] = {
        NCRYPT_PIN_PROPERTY, NCRYPT_SECURE_PIN_PROPERTY, NCRYPT_PCP_USAGEAUTH_PROPERTY,
        NCRYPT_PCP_CHANGEPASSWORD_PROPERTY, NCRYPT_PCP_MIGRATIONPASSWORD_PROPERTY,
    };
    for (const WCHAR *secret : kSecret)
        if (name != nullptr && _wcsicmp(name, secret) == 0) return true;
    return false;
}

// A property's value block, after the property's name and before its
// length: in the trace, the value of a secret property shows only that
// length.
struct PropertyValueArg : DataArg {
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &before, const L &, bool) {
        static_assert(std::is_same<typename std::tuple_element<I - 1, L>::type, WideText>::value &&
                          std::is_same<typename std::tuple_element<I + 1, L>::type, DWORD>::value,
                      "a property's name comes before its value, its length after");
        if (IsSecretProperty(std::get<I - 1>(before).text))
            TraceAdd(line, "<secret, %lu bytes>", static_cast<unsigned long>(std::get<I + 1>(before)));
        else
            TracePointer(line, env, j);
    }
};

ORV_CNG_NATIVE(nCryptGetProperty, NCryptGetProperty, CngStatusResult,
               HandleArg, WideArg, PropertyValueArg, DwordArg, CountCellArg, DwordArg)

ORV_CNG_NATIVE(nCryptSetProperty, NCryptSetProperty, CngStatusResult,
               HandleArg, WideArg, PropertyValueArg, DwordArg, DwordArg)

ORV_CNG_NATIVE(nCryptIsAlgSupported, NCryptIsAlgSupported, CngStatusResult,
               HandleArg, WideArg, DwordArg)

ORV_CNG_NATIVE(nCryptIsKeyHandle, NCryptIsKeyHandle, BoundBoolResult, HandleArg)

// The event is an in/out handle of a kernel object: sign-extended, unlike
// the CNG handles.
ORV_CNG_NATIVE(nCryptNotifyChangeKey, NCryptNotifyChangeKey, CngStatusResult,
               HandleArg, EventCellArg, DwordArg)

// Operations.  Output sizes come from the Java arguments, never from a
// Pointer's "size"; a null output Pointer asks only for the size needed.
ORV_CNG_NATIVE(nCryptEncrypt, NCryptEncrypt, CngStatusResult,
               HandleArg, DataArg, DwordArg, DataArg, DataArg, DwordArg, CountCellArg, DwordArg)

ORV_CNG_NATIVE(nCryptDecrypt, NCryptDecrypt, CngStatusResult,
               HandleArg, DataArg, DwordArg, DataArg, DataArg, DwordArg, Optional<CountCellArg>,
               DwordArg)

ORV_CNG_NATIVE(nCryptSignHash, NCryptSignHash, CngStatusResult,
               HandleArg, DataArg, DataArg, DwordArg, DataArg, DwordArg, CountCellArg, DwordArg)

ORV_CNG_NATIVE(nCryptVerifySignature, NCryptVerifySignature, CngStatusResult,
               HandleArg, DataArg, DataArg, DwordArg, DataArg, DwordArg, DwordArg)

ORV_CNG_NATIVE(nCryptSecretAgreement, NCryptSecretAgreement, CngStatusResult,
               HandleArg, HandleArg, NewHandleCellArg, DwordArg)

ORV_CNG_NATIVE(nCryptDeriveKey, NCryptDeriveKey, CngStatusResult,
               HandleArg, WideArg, DataArg, DataArg, DwordArg, CountCellArg, DwordArg)

#endif
