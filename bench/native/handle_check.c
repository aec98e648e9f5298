/*
 * What one token native costs the bridge when the module does nothing:
 * c_GetSessionInfo, called straight through the library's export, against
 * a module whose C_GetSessionInfo only answers CKR_OK, beside a direct call
 * of that same function.  The difference is the bridge's own work per
 * native (finding the live module record, holding it, the table look-up).
 *
 *   bench_handle_check LIBRARY [CALLS]
 *
 * The module is this program itself: it exports C_GetFunctionList, and a
 * null path makes the loader open the running program.  A null Pointer
 * argument needs no Java object, so no virtual machine is involved.
 * Prints the best of several runs, in ns per call; asserts nothing.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <jni.h>
#include <p11-kit/pkcs11.h>

__attribute__((noinline)) static CK_RV get_session_info(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    (void)info;
    return session == 0 ? CKR_SESSION_HANDLE_INVALID : CKR_OK;
}

static CK_FUNCTION_LIST table;

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    table.version.major = 2;
    table.version.minor = 40;
    table.C_GetSessionInfo = get_session_info;
    *list = &table;
    return CKR_OK;
}

typedef jlong (*Load)(JNIEnv *, jclass, jstring);
typedef void (*Unload)(JNIEnv *, jclass, jlong);
typedef jlong (*SessionInfo)(JNIEnv *, jclass, jlong, jlong, jobject);

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

/* The volatile pointers keep the compiler from folding the direct call. */
static CK_RV (*volatile direct)(CK_SESSION_HANDLE, CK_SESSION_INFO_PTR) = get_session_info;

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s LIBRARY [CALLS]\n", argv[0]);
        return 2;
    }
    long calls = argc > 2 ? atol(argv[2]) : 2000000;
    void *bridge = dlopen(argv[1], RTLD_NOW);
    if (bridge == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    Load load = (Load)dlsym(bridge, "Java_Orvalith_Base_JNI_loadExternalModule");
    Unload unload = (Unload)dlsym(bridge, "Java_Orvalith_Base_JNI_unloadExternalModule");
    SessionInfo volatile info = (SessionInfo)dlsym(bridge, "Java_Orvalith_Base_JNI_c_1GetSessionInfo");
    if (load == NULL || unload == NULL || info == NULL) {
        fprintf(stderr, "the library lacks a native\n");
        return 1;
    }
    jlong module = load(NULL, NULL, NULL);
    if (module == 0 || info(NULL, NULL, module, 1, NULL) != CKR_OK) {
        fprintf(stderr, "the program's own module did not load\n");
        return 1;
    }
    double best_native = 1e30, best_direct = 1e30;
    for (int run = 0; run < 9; run++) {
        double start = now_ns();
        for (long i = 0; i < calls; i++) info(NULL, NULL, module, 1, NULL);
        double middle = now_ns();
        for (long i = 0; i < calls; i++) direct(1, NULL);
        double end = now_ns();
        if ((middle - start) / calls < best_native) best_native = (middle - start) / calls;
        if ((end - middle) / calls < best_direct) best_direct = (end - middle) / calls;
    }
    unload(NULL, NULL, module);
    printf("c_GetSessionInfo through the bridge: %.1f ns, direct call: %.1f ns, bridge's own work: %.1f ns\n",
           best_native, best_direct, best_native - best_direct);
    return 0;
}
