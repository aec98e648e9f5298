// Certificate contexts: enumerating and finding them in a store, adding an
// encoded certificate, deleting, duplicating, freeing and creating
// contexts, and their properties.
#if defined(_WIN32)
#include "windows/conventions_extra.h"

jobject ContextPointer(JNIEnv *env, PCCERT_CONTEXT context) {
    DWORD error = GetLastError();
    jthrowable held = ShelvePending(env);
    jobject pointer = NewPointer(env, context, ORV_CERT_CONTEXT_SIZE);
    RestorePending(env, held);
    SetLastError(error);
    return pointer;
}

// The previous context given to these two is released by the platform,
// whatever it finds next; the Java caller must not free it again.
ORV_WIN_CONTEXT_NATIVE(certEnumCertificatesInStore, CertEnumCertificatesInStore, HandleArg, DataArg)

ORV_WIN_CONTEXT_NATIVE(certFindCertificateInStore, CertFindCertificateInStore,
                       HandleArg, DwordArg, DwordArg, DwordArg, DataArg, DataArg)

// The Pointer asked for the new context gets it after every call (a null
// context after a failure); whatever it held before is not released.
ORV_WIN_NATIVE(certAddEncodedCertificateToStore, CertAddEncodedCertificateToStore, BoolResult,
               HandleArg, DwordArg, DataArg, DwordArg, DwordArg, ContextOutArg)

ORV_WIN_NATIVE(certDeleteCertificateFromStore, CertDeleteCertificateFromStore, BoolResult, DataArg)

ORV_WIN_CONTEXT_NATIVE(certDuplicateCertificateContext, CertDuplicateCertificateContext, DataArg)

ORV_WIN_NATIVE(certFreeCertificateContext, CertFreeCertificateContext, BoolResult, DataArg)

// The length is the Java argument, never the Pointer's "size".
ORV_WIN_CONTEXT_NATIVE(certCreateCertificateContext, CertCreateCertificateContext,
                       DwordArg, DataArg, DwordArg)

ORV_WIN_NATIVE(certGetCertificateContextProperty, CertGetCertificateContextProperty, BoolResult,
               DataArg, DwordArg, DataArg, LengthCellArg<2>)

ORV_WIN_NATIVE(certSetCertificateContextProperty, CertSetCertificateContextProperty, BoolResult,
               DataArg, DwordArg, DwordArg, DataArg)

#endif
