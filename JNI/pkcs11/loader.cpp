// Opening a token module and building its function table (POSIX builds;
// Windows in loader_windows.cpp), and releasing it again (all builds).
// A handle that is not live (unloaded already, or never made) unloads
// nothing.
#include <stdlib.h>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"

#if defined(_WIN32)
#include <windows.h>
static void CloseLibrary(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
#include <dlfcn.h>
static void CloseLibrary(void *library) { dlclose(library); }
#endif

void ReleaseModule(TokenModule *module) {
    if (module->table_owned && module->functions != nullptr) free(module->functions);
    if (module->library != nullptr) CloseLibrary(module->library);
    free(module);
}

#if !defined(_WIN32)

static void *LookupSymbol(void *library, const char *name) { return dlsym(library, name); }

// Uses the module's own table when C_GetFunctionList gives one, and builds
// one by name otherwise.  A C_GetFunctionList that answers CKR_OK without a
// table fails the load: every call would go through that null table.
static bool BuildTable(TokenModule *module) {
    CK_C_GetFunctionList get_list =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(module->library, "C_GetFunctionList"));
    if (get_list != nullptr && get_list(&module->functions) == CKR_OK)
        return module->functions != nullptr;
    // Whatever a failing C_GetFunctionList wrote there is not ours to use.
    module->functions = static_cast<CK_FUNCTION_LIST *>(malloc(sizeof(CK_FUNCTION_LIST)));
    if (module->functions == nullptr) return false;
    module->table_owned = 1;
    return ResolveByName(module->functions, module->library, LookupSymbol);
}

extern "C" JNIEXPORT jlong JNICALL Java_Orvalith_Base_JNI_loadExternalModule(JNIEnv *env, jclass,
                                                                            jstring path) {
    char *name = path != nullptr ? jstringToWindows(env, path) : nullptr;
    if (path != nullptr && name == nullptr) return 0;  // "Out of memory" is pending
    TokenModule *module = static_cast<TokenModule *>(calloc(1, sizeof(TokenModule)));
    if (module == nullptr) {
        free(name);
        ThrowNewException(env, ORV_MSG_OUT_OF_MEMORY);
        return 0;
    }
    module->library = dlopen(name, RTLD_LAZY);
    bool loaded = module->library != nullptr && BuildTable(module) && RegisterModule(module);
    free(name);
    if (!loaded) ReleaseModule(module);
    jlong handle = loaded ? WidenAddress(module) : 0;
    if (TraceOn()) TraceLoad(env, path, handle);
    return handle;
}

#endif

extern "C" JNIEXPORT void JNICALL Java_Orvalith_Base_JNI_unloadExternalModule(JNIEnv *env, jclass,
                                                                            jlong handle) {
    RetireModule(env, handle);
}
