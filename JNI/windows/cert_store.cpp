// Certificate stores: opening by provider name or by system store name,
// and closing.
#if defined(_WIN32)
#include "windows/conventions.h"

// The provider is always named by a string (a null one is NULL): the
// platform's numeric provider identifiers are not addresses Java could
// pass.  The store comes back sign-extended, as Java has always seen
// store handles; only the low 32 bits matter when it goes back in.
ORV_WIN_NATIVE(certOpenStore, CertOpenStore, SignedResult,
               AnsiArg, DwordArg, HandleArg, DwordArg, DataArg)

ORV_WIN_NATIVE(certOpenSystemStore, CertOpenSystemStoreW, SignedResult, HandleArg, WideArg)

ORV_WIN_NATIVE(certCloseStore, CertCloseStore, BoolResult, HandleArg, DwordArg)

#endif
