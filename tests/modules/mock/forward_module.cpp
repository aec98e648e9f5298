/*
 * A Windows module that is only a front: its C_GetFunctionList loads the
 * 4-byte-slot mock beside it and hands out that module's table, so every
 * entry lies outside the image of the module the bridge loaded.  Wrappers
 * and proxies built this way are why the loader may not ask a table's
 * entries to lie in the loaded module's own image.
 */
#include <windows.h>

/* The header marks the Cryptoki names dllexport only for the module itself. */
#define CRYPTOKI_EXPORTS
#include <p11-kit/pkcs11.h>

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    HMODULE behind = LoadLibraryW(L"libmockp11_slots4.dll");
    if (behind == nullptr) return CKR_GENERAL_ERROR;
    CK_C_GetFunctionList theirs =
        reinterpret_cast<CK_C_GetFunctionList>(
            reinterpret_cast<void *>(GetProcAddress(behind, "C_GetFunctionList")));
    return theirs != nullptr ? theirs(list) : CKR_GENERAL_ERROR;
}
