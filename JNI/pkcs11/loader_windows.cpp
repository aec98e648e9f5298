// Opening a token module on Windows.  The bridge always works on a table of
// its own in the header's 1-byte-packed layout; a module that hands out its
// table may have built it packed or with 4-byte slots, so the caller says
// which (or lets the loader tell from the table's first bytes), and may ask
// for resolution by name instead.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"

static_assert(sizeof(void *) == 4, "the Windows deliverable is 32-bit");

// A module's table with 4- or 8-byte packing: on this platform both put the
// version in the first 2 bytes, 2 bytes of padding, then 4-byte entries.
#define ORV_SLOTS_HEADER 4
#define ORV_ENTRY_SIZE 4
#define ORV_GET_FUNCTION_LIST_ENTRY 3

static void *LookupSymbol(void *library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

// The bytes a module's image occupies once loaded, from its PE headers.
struct ImageRange {
    uintptr_t start;
    size_t size;
};

static ImageRange ImageOf(void *library) {
    const unsigned char *base = static_cast<const unsigned char *>(library);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    if (base == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return ImageRange{0, 0};
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return ImageRange{0, 0};
    return ImageRange{reinterpret_cast<uintptr_t>(base), nt->OptionalHeader.SizeOfImage};
}

// Whether code at `address` can be reached: inside the loaded module's
// image, or else inside the image of any module in the process, for a
// front module that hands out the table of a library behind it.  The
// lookup takes no reference and leaves the last error as it was.
static bool InSomeImage(uint32_t address, ImageRange own) {
    if (address >= own.start && address - own.start < own.size) return true;
    DWORD error = GetLastError();
    HMODULE owner = nullptr;
    bool found = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(address)),
                                    &owner) &&
                 owner != nullptr;
    SetLastError(error);
    return found;
}

// Whether the table has 4-byte slots.  After the version comes either the
// first bytes of entry 0 (packed) or two bytes of padding, which compilers
// leave zero.  Zero bytes alone do not tell: the low byte of a packed
// entry 0 is zero for any function at a 256-byte boundary, both bytes for
// a null entry 0.  So the entries as 4-byte slots must also all be null or
// lie inside a loaded module's image, which the same bytes read as a
// packed table's halves of two neighbouring addresses practically never
// do, all of them.  Only slots that lie within a packed table's 274 bytes
// are read, since the table may be one.
static bool HasSlots(const unsigned char *table, void *library) {
    if (table[2] != 0 || table[3] != 0) return false;
    ImageRange image = ImageOf(library);
    bool any = false;
    for (size_t at = ORV_SLOTS_HEADER; at + ORV_ENTRY_SIZE <= sizeof(CK_FUNCTION_LIST);
         at += ORV_ENTRY_SIZE) {
        uint32_t entry;
        memcpy(&entry, table + at, sizeof entry);
        if (entry == 0) continue;
        if (!InSomeImage(entry, image)) return false;
        any = true;
    }
    return any;
}

// The packing of a module's table when the caller left it to the loader:
// 0 for a version with a zero byte, which is no table at all.
static jint DetectPacking(const unsigned char *table, void *library) {
    if (table[0] == 0 || table[1] == 0) return 0;
    return HasSlots(table, library) ? 4 : 1;
}

// Copies a module's table into ours; false for a layout we do not know.
static bool CopyTable(CK_FUNCTION_LIST *ours, const CK_FUNCTION_LIST *theirs, jint packing,
                      void *library) {
    const unsigned char *from = reinterpret_cast<const unsigned char *>(theirs);
    unsigned char *to = reinterpret_cast<unsigned char *>(ours);
    if (packing <= 0) packing = DetectPacking(from, library);
    if (packing == 1) {
        memcpy(to, from, sizeof(CK_FUNCTION_LIST));
        return true;
    }
    if (packing != 4 && packing != 8) return false;
    memcpy(to, from, sizeof(CK_VERSION));
    for (int i = 0; i < ORV_TABLE_ENTRIES; ++i) {
        if (i == ORV_GET_FUNCTION_LIST_ENTRY) continue;
        memcpy(to + ORV_TABLE_HEADER + ORV_ENTRY_SIZE * i, from + ORV_SLOTS_HEADER + ORV_ENTRY_SIZE * i,
               ORV_ENTRY_SIZE);
    }
    return true;
}

static bool BuildTable(TokenModule *module, bool by_name, jint packing) {
    // Zeroed, so that entries a copy or a failed resolution leaves out are null.
    module->functions = static_cast<CK_FUNCTION_LIST *>(calloc(1, sizeof(CK_FUNCTION_LIST)));
    if (module->functions == nullptr) return false;
    module->table_owned = 1;
    CK_C_GetFunctionList get_list =
        reinterpret_cast<CK_C_GetFunctionList>(LookupSymbol(module->library, "C_GetFunctionList"));
    if (!by_name && get_list != nullptr) {
        CK_FUNCTION_LIST *theirs = nullptr;
        if (get_list(&theirs) == CKR_OK)
            return theirs != nullptr &&
                   CopyTable(module->functions, theirs, packing, module->library);
    }
    return ResolveByName(module->functions, module->library, LookupSymbol);
}

// LoadLibraryW wants a terminated name; GetStringChars does not promise one.
static WCHAR *TerminatedName(const jchar *units, jsize length) {
    WCHAR *name = static_cast<WCHAR *>(malloc((static_cast<size_t>(length) + 1) * sizeof(WCHAR)));
    if (name == nullptr) return nullptr;
    memcpy(name, units, static_cast<size_t>(length) * sizeof(WCHAR));
    name[length] = 0;
    return name;
}

extern "C" JNIEXPORT jlong JNICALL Java_Orvalith_Base_JNI_loadExternalModule(JNIEnv *env, jclass,
                                                                            jstring path,
                                                                            jboolean byName,
                                                                            jint packing) {
    const jchar *units = path != nullptr ? env->GetStringChars(path, nullptr) : nullptr;
    if (path != nullptr && units == nullptr) return 0;  // the VM's OutOfMemoryError is pending
    WCHAR *name = units != nullptr ? TerminatedName(units, env->GetStringLength(path)) : nullptr;
    TokenModule *module = static_cast<TokenModule *>(calloc(1, sizeof(TokenModule)));
    if ((units != nullptr && name == nullptr) || module == nullptr) {
        free(module);
        free(name);
        if (units != nullptr) env->ReleaseStringChars(path, units);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return 0;
    }
    module->library = LoadLibraryW(name);
    bool loaded = module->library != nullptr && BuildTable(module, byName != JNI_FALSE, packing) &&
                  RegisterModule(module);
    free(name);
    if (units != nullptr) env->ReleaseStringChars(path, units);
    // The last error of a failed load stays for getLastError.
    DWORD error = GetLastError();
    if (!loaded) ReleaseModule(module);
    jlong handle = loaded ? WidenAddress(module) : 0;
    if (TraceOn()) TraceLoad(env, path, handle);
    SetLastError(error);
    return handle;
}
