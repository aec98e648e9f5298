// The binding slots of the entry points that the bridge finds at run time
// in ncrypt.dll and cryptui.dll.
#if defined(_WIN32)
#include "windows/runtime_binding.h"

namespace {

enum RuntimeLibrary : unsigned char { kNcrypt, kCryptui };

const wchar_t *const kLibraryNames[] = {L"ncrypt.dll", L"cryptui.dll"};

struct EntryRecord {
    RuntimeLibrary library;
    const char *name;
};

// Indexed by RuntimeEntry; the static_assert below keeps the two in step.
const EntryRecord kEntries[] = {
    {kNcrypt, "NCryptCreatePersistedKey"},
    {kNcrypt, "NCryptDecrypt"},
    {kNcrypt, "NCryptDeleteKey"},
    {kNcrypt, "NCryptDeriveKey"},
    {kNcrypt, "NCryptEncrypt"},
    {kNcrypt, "NCryptExportKey"},
    {kNcrypt, "NCryptFinalizeKey"},
    {kNcrypt, "NCryptFreeBuffer"},
    {kNcrypt, "NCryptFreeObject"},
    {kNcrypt, "NCryptGetProperty"},
    {kNcrypt, "NCryptImportKey"},
    {kNcrypt, "NCryptIsAlgSupported"},
    {kNcrypt, "NCryptIsKeyHandle"},
    {kNcrypt, "NCryptNotifyChangeKey"},
    {kNcrypt, "NCryptOpenKey"},
    {kNcrypt, "NCryptOpenStorageProvider"},
    {kNcrypt, "NCryptSecretAgreement"},
    {kNcrypt, "NCryptSetProperty"},
    {kNcrypt, "NCryptSignHash"},
    {kNcrypt, "NCryptTranslateHandle"},
    {kNcrypt, "NCryptVerifySignature"},
    {kCryptui, "CryptUIDlgViewCertificateW"},
    {kCryptui, "CryptUIDlgSelectCertificateW"},
    {kCryptui, "CryptUIWizImport"},
};
static_assert(sizeof kEntries / sizeof kEntries[0] == kRuntimeEntryCount,
              "one record per runtime entry");

// Zero at load time: nothing runs to set them up.
void *g_slots[kRuntimeEntryCount];

}  // namespace

void *BindRuntimeEntry(RuntimeEntry entry) {
    void **slot = &g_slots[entry];
    void *address = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (address != nullptr) return address;
    const wchar_t *library = kLibraryNames[kEntries[entry].library];
    // A library already in the process is taken as it is; one we load
    // ourselves is kept, since the slots will point into it.
    HMODULE module = GetModuleHandleW(library);
    if (module == nullptr) module = LoadLibraryW(library);
    if (module == nullptr) return nullptr;
    address = reinterpret_cast<void *>(GetProcAddress(module, kEntries[entry].name));
    __atomic_store_n(slot, address, __ATOMIC_RELEASE);
    return address;
}

const char *RuntimeEntryName(RuntimeEntry entry) { return kEntries[entry].name; }

const wchar_t *RuntimeEntryLibrary(RuntimeEntry entry) {
    return kLibraryNames[kEntries[entry].library];
}

#endif
