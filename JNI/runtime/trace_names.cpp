// Names of Cryptoki values for the trace, taken from the Cryptoki header
// the bridge is built with (the table is generated from it).
#include "pkcs11/token_module.h"
#include "runtime/trace.h"

struct TraceName {
    unsigned long value;
    const char *name;
};

#include "cryptoki_names.inc"

template <size_t N>
static const char *Find(const TraceName (&names)[N], unsigned long value) {
    // Only a traced call looks a name up: a scan is plenty.  Where names
    // share a value the header defines the newer one last (CKM_ECDSA_KEY_
    // PAIR_GEN, then CKM_EC_KEY_PAIR_GEN), so the last one wins.
    const char *found = nullptr;
    for (const TraceName &entry : names)
        if (entry.value == value) found = entry.name;
    return found;
}

const char *CkrName(unsigned long rv) {
    // The bridge's own answer for a call it could not make.
    if (rv == CKR_NO_FUNCTION) return "CKR_NO_FUNCTION";
    return Find(kCkrNames, rv);
}
const char *CkmName(unsigned long mechanism) { return Find(kCkmNames, mechanism); }
const char *CkaName(unsigned long type) { return Find(kCkaNames, type); }
