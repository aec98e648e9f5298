// Hash objects: creation, hashing, parameters, signing and signature
// verification.
#if defined(_WIN32)
#include "windows/conventions.h"

ORV_WIN_NATIVE(cryptCreateHash, CryptCreateHash, BoolResult,
               HandleArg, DwordArg, HandleArg, DwordArg, NewHandleCellArg)

ORV_WIN_NATIVE(cryptHashData, CryptHashData, BoolResult, HandleArg, DataArg, DwordArg, DwordArg)

ORV_WIN_NATIVE(cryptGetHashParam, CryptGetHashParam, BoolResult,
               HandleArg, DwordArg, DataArg, LengthCellArg<2>, DwordArg)

ORV_WIN_NATIVE(cryptSetHashParam, CryptSetHashParam, BoolResult,
               HandleArg, DwordArg, DataArg, DwordArg)

// The unread argument stands where the platform has its description
// string, which has long been ignored; NULL is passed instead.
ORV_WIN_NATIVE(cryptSignHash, CryptSignHashW, BoolResult,
               HandleArg, DwordArg, UnreadArg<jstring>, DwordArg, DataArg, LengthCellArg<4>)

ORV_WIN_NATIVE(cryptVerifySignature, CryptVerifySignatureW, BoolResult,
               HandleArg, DataArg, DwordArg, HandleArg, UnreadArg<jstring>, DwordArg)

ORV_WIN_NATIVE(cryptDestroyHash, CryptDestroyHash, BoolResult, HandleArg)

#endif
