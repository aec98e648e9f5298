// The binding slots of the entry points that the bridge finds at run time
// in ncrypt.dll and cryptui.dll.
#if defined(_WIN32)
#include "windows/runtime_binding.h"

#include <string.h>
#include <wchar.h>

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
// The libraries the bridge holds a reference on, once it has one.
HMODULE g_libraries[sizeof kLibraryNames / sizeof kLibraryNames[0]];

// The library from the system folder.  Systems whose loader lacks the
// search flags refuse it as an invalid parameter; there the library is
// loaded by its full path in the system folder instead.
HMODULE LoadFromSystemFolder(const wchar_t *name) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    size_t length = wcslen(name);
    if (n == 0 || n + 1 + length + 1 > MAX_PATH) return nullptr;
    path[n] = L'\\';
    memcpy(path + n + 1, name, (length + 1) * sizeof(wchar_t));
    return LoadLibraryW(path);
}

// A library already in the process is used as it is, with a reference
// of our own on it; otherwise it is loaded, which takes one.
HMODULE HeldLibrary(RuntimeLibrary library) {
    HMODULE *held = &g_libraries[library];
    HMODULE module = __atomic_load_n(held, __ATOMIC_ACQUIRE);
    if (module != nullptr) return module;
    const wchar_t *name = kLibraryNames[library];
    if (!GetModuleHandleExW(0, name, &module)) module = LoadFromSystemFolder(name);
    if (module == nullptr) return nullptr;
    // Two threads here at once each hold a reference; one is stored, the
    // other just keeps the library loaded, as ours would.
    __atomic_store_n(held, module, __ATOMIC_RELEASE);
    return module;
}

}  // namespace

void *BindRuntimeEntry(RuntimeEntry entry) {
    void **slot = &g_slots[entry];
    void *address = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (address != nullptr) return address;
    HMODULE module = HeldLibrary(kEntries[entry].library);
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
