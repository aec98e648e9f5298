// Building a function table by name, for modules whose C_GetFunctionList
// is missing or fails.
#include <string.h>

#include "pkcs11/token_module.h"

struct NamedEntry {
    const char *name;
    int entry;
};

// Looked up in this order, the names compared without regard to case, so
// that a module lacking one name fails at the same point everywhere.
static const NamedEntry kByName[] = {
    {"C_CancelFunction", 66},    {"C_CloseAllSessions", 14},   {"C_CloseSession", 13},
    {"C_CopyObject", 21},        {"C_CreateObject", 20},       {"C_Decrypt", 34},
    {"C_DecryptDigestUpdate", 55}, {"C_DecryptFinal", 36},     {"C_DecryptInit", 33},
    {"C_DecryptUpdate", 35},     {"C_DecryptVerifyUpdate", 57}, {"C_DeriveKey", 62},
    {"C_DestroyObject", 22},     {"C_Digest", 38},             {"C_DigestEncryptUpdate", 54},
    {"C_DigestFinal", 41},       {"C_DigestInit", 37},         {"C_DigestKey", 40},
    {"C_DigestUpdate", 39},      {"C_Encrypt", 30},            {"C_EncryptFinal", 32},
    {"C_EncryptInit", 29},       {"C_EncryptUpdate", 31},      {"C_Finalize", 1},
    {"C_FindObjects", 27},       {"C_FindObjectsFinal", 28},   {"C_FindObjectsInit", 26},
    {"C_GenerateKey", 58},       {"C_GenerateKeyPair", 59},    {"C_GenerateRandom", 64},
    {"C_GetAttributeValue", 24}, {"C_GetFunctionStatus", 65},  {"C_GetInfo", 2},
    {"C_GetMechanismInfo", 8},   {"C_GetMechanismList", 7},    {"C_GetObjectSize", 23},
    {"C_GetOperationState", 16}, {"C_GetSessionInfo", 15},     {"C_GetSlotInfo", 5},
    {"C_GetSlotList", 4},        {"C_GetTokenInfo", 6},        {"C_Initialize", 0},
    {"C_InitPIN", 10},           {"C_InitToken", 9},           {"C_Login", 18},
    {"C_Logout", 19},            {"C_OpenSession", 12},        {"C_SeedRandom", 63},
    {"C_SetAttributeValue", 25}, {"C_SetOperationState", 17},  {"C_SetPIN", 11},
    {"C_Sign", 43},              {"C_SignEncryptUpdate", 56},  {"C_SignFinal", 45},
    {"C_SignInit", 42},          {"C_SignRecover", 47},        {"C_SignRecoverInit", 46},
    {"C_SignUpdate", 44},        {"C_UnwrapKey", 61},          {"C_Verify", 49},
    {"C_VerifyFinal", 51},       {"C_VerifyInit", 48},         {"C_VerifyRecover", 53},
    {"C_VerifyRecoverInit", 52}, {"C_VerifyUpdate", 50},       {"C_WaitForSlotEvent", 67},
    {"C_WrapKey", 60},
};
static_assert(sizeof(kByName) / sizeof(kByName[0]) == ORV_TABLE_ENTRIES - 1,
              "every entry but C_GetFunctionList");

bool ResolveByName(CK_FUNCTION_LIST *table, void *library, SymbolLookup lookup) {
    char *entries = reinterpret_cast<char *>(table) + ORV_TABLE_HEADER;
    for (const NamedEntry &named : kByName) {
        void *symbol = lookup(library, named.name);
        // memcpy: on Windows the packed entries are not pointer-aligned.
        memcpy(entries + named.entry * sizeof(void *), &symbol, sizeof symbol);
        if (symbol == nullptr) return false;
    }
    return true;
}
