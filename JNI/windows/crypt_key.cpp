// Keys of a provider context: user keys, generation, derivation,
// duplication, import and export, parameters, encryption and decryption.
#if defined(_WIN32)
#include "windows/conventions.h"

// The key cells of these four start from the cell's low 32 bits; a call
// that fails without touching the key writes those bits back.
ORV_WIN_NATIVE(cryptGetUserKey, CryptGetUserKey, BoolResult, HandleArg, DwordArg, HandleCellArg)

ORV_WIN_NATIVE(cryptGenKey, CryptGenKey, BoolResult, HandleArg, DwordArg, DwordArg, HandleCellArg)

ORV_WIN_NATIVE(cryptDeriveKey, CryptDeriveKey, BoolResult,
               HandleArg, DwordArg, HandleArg, DwordArg, HandleCellArg)

ORV_WIN_NATIVE(cryptDuplicateKey, CryptDuplicateKey, BoolResult,
               HandleArg, HandleArg, DwordArg, HandleCellArg)

ORV_WIN_NATIVE(cryptDestroyKey, CryptDestroyKey, BoolResult, HandleArg)

ORV_WIN_NATIVE(cryptExportKey, CryptExportKey, BoolResult,
               HandleArg, HandleArg, DwordArg, DwordArg, DataArg, LengthCellArg<4>)

// The blob's length is the Java argument, never the Pointer's "size".
ORV_WIN_NATIVE(cryptImportKey, CryptImportKey, BoolResult,
               HandleArg, DataArg, DwordArg, HandleArg, DwordArg, NewHandleCellArg)

ORV_WIN_NATIVE(cryptGetKeyParam, CryptGetKeyParam, BoolResult,
               HandleArg, DwordArg, DataArg, LengthCellArg<2>, DwordArg)

ORV_WIN_NATIVE(cryptSetKeyParam, CryptSetKeyParam, BoolResult,
               HandleArg, DwordArg, DataArg, DwordArg)

// In place: the length cell holds the input's length going in and the
// output's coming out; bufLen is the block's capacity.
ORV_WIN_NATIVE(cryptEncrypt, CryptEncrypt, BoolResult,
               HandleArg, HandleArg, BoolArg, DwordArg, DataArg, LengthCellArg<4>, DwordArg)

ORV_WIN_NATIVE(cryptDecrypt, CryptDecrypt, BoolResult,
               HandleArg, HandleArg, BoolArg, DwordArg, DataArg, LengthCellArg<4>)

#endif
