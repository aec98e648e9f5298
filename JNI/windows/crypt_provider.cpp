// Cryptographic service providers: acquiring, releasing and querying
// provider contexts, and listing the installed providers.
#if defined(_WIN32)
#include "windows/conventions.h"

// A null or empty container or provider name is NULL to the platform:
// the default container, the default provider of the type.
ORV_WIN_NATIVE(cryptAcquireContext, CryptAcquireContextW, BoolResult,
               NewHandleCellArg, WideOrEmptyArg, WideOrEmptyArg, DwordArg, DwordArg)

ORV_WIN_NATIVE(cryptReleaseContext, CryptReleaseContext, BoolResult, HandleArg, DwordArg)

// The reserved pointer travels as a long of which the low 32 bits count.
ORV_WIN_NATIVE(cryptContextAddRef, CryptContextAddRef, BoolResult, HandleArg, HandleArg, DwordArg)

ORV_WIN_NATIVE(cryptGetProvParam, CryptGetProvParam, BoolResult,
               HandleArg, DwordArg, DataArg, LengthCellArg<2>, DwordArg)

ORV_WIN_NATIVE(cryptSetProvParam, CryptSetProvParam, BoolResult,
               HandleArg, DwordArg, DataArg, DwordArg)

// The name block is filled in place; its Pointer keeps its capacity as
// "size" and the name is read up to its terminator.  The second argument
// stands where the platform has its reserved pointer.
ORV_WIN_NATIVE(cryptEnumProviders, CryptEnumProvidersW, BoolResult,
               DwordArg, UnreadArg<jint>, DwordArg, DwordCellArg, DataArg, DwordCellArg)

#endif
