/*
 * The floor: the benchmark workload from C, calling the module through the
 * function table that its C_GetFunctionList hands out, with every buffer
 * made once.  No Java route can do the same work in less time.
 *
 *   bench_floor ROUTE-NAME MODULE SLOT PIN
 *
 * Timing follows the Java harness: BENCH_WARMUP_MS of warm-up that also
 * fixes the operations per run, then BENCH_RUNS runs of about BENCH_RUN_MS
 * each; one tab-separated line per operation, ns per operation as min,
 * median and max over the runs, the operations per run, and every run.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <p11-kit/pkcs11.h>

#define FIND_OBJECTS 8
#define FIND_ROOM 16
#define MIB (1 << 20)

static CK_FUNCTION_LIST_PTR f;
static CK_SESSION_HANDLE session;
static CK_OBJECT_HANDLE key;
static volatile unsigned long sink;

static long env_or(const char *name, long fallback) {
    const char *v = getenv(name);
    return v != NULL && *v != '\0' ? atol(v) : fallback;
}

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

static void ok(const char *what, CK_RV rv) {
    if (rv != CKR_OK) {
        fprintf(stderr, "%s answered 0x%lx\n", what, (unsigned long)rv);
        exit(1);
    }
}

static int by_value(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static void measure(const char *route, const char *op, void (*work)(void)) {
    double warmup = (double)env_or("BENCH_WARMUP_MS", 300) * 1e6;
    double run = (double)env_or("BENCH_RUN_MS", 100) * 1e6;
    long runs = env_or("BENCH_RUNS", 5);
    if (runs < 1) runs = 1;

    long done = 0;
    double start = now_ns(), elapsed;
    do {
        work();
        done++;
        elapsed = now_ns() - start;
    } while (elapsed < warmup || done < 3);
    long per_run = (long)(run * (double)done / elapsed);
    if (per_run < 1) per_run = 1;

    double *ns = malloc(sizeof(double) * (size_t)runs);
    if (ns == NULL) exit(1);
    char all[64 * 32];
    size_t used = 0;
    for (long r = 0; r < runs; r++) {
        double t0 = now_ns();
        for (long i = 0; i < per_run; i++) work();
        ns[r] = (now_ns() - t0) / (double)per_run;
        if (used + 32 < sizeof all) used += (size_t)snprintf(all + used, 32, "%s%.1f", r ? "," : "", ns[r]);
    }
    qsort(ns, (size_t)runs, sizeof(double), by_value);
    printf("%s\t%s\t%.1f\t%.1f\t%.1f\t%ld\t%s\n", route, op, ns[0], ns[runs / 2], ns[runs - 1], per_run,
           used ? all : "");
    fflush(stdout);
    free(ns);
}

static CK_SESSION_INFO info;
static void session_info(void) {
    ok("C_GetSessionInfo", f->C_GetSessionInfo(session, &info));
    sink += info.state;
}

static CK_BYTE random_bytes[32];
static void random_32(void) {
    ok("C_GenerateRandom", f->C_GenerateRandom(session, random_bytes, sizeof random_bytes));
    sink += random_bytes[0];
}

static CK_MECHANISM sha256 = {CKM_SHA256, NULL, 0};
static CK_BYTE *data;
static CK_ULONG data_length;
static CK_BYTE digest_bytes[32];
static void digest(void) {
    CK_ULONG length = sizeof digest_bytes;
    ok("C_DigestInit", f->C_DigestInit(session, &sha256));
    ok("C_Digest", f->C_Digest(session, data, data_length, digest_bytes, &length));
    sink += digest_bytes[0];
}

static CK_MECHANISM ecdsa = {CKM_ECDSA, NULL, 0};
static CK_BYTE hash[32];
static CK_BYTE signature[64];
static void sign(void) {
    CK_ULONG length = sizeof signature;
    ok("C_SignInit", f->C_SignInit(session, &ecdsa, key));
    ok("C_Sign", f->C_Sign(session, hash, sizeof hash, signature, &length));
    sink += signature[0];
}

static CK_OBJECT_CLASS data_class = CKO_DATA;
static char find_label[] = "bench-find";
static CK_ATTRIBUTE find_template[] = {
    {CKA_CLASS, &data_class, sizeof data_class},
    {CKA_LABEL, find_label, sizeof find_label - 1},
};
static CK_OBJECT_HANDLE handles[FIND_ROOM];
static void find_objects(void) {
    CK_ULONG count = 0;
    ok("C_FindObjectsInit", f->C_FindObjectsInit(session, find_template, 2));
    ok("C_FindObjects", f->C_FindObjects(session, handles, FIND_ROOM, &count));
    ok("C_FindObjectsFinal", f->C_FindObjectsFinal(session));
    if (count != FIND_OBJECTS) {
        fprintf(stderr, "found %lu objects\n", (unsigned long)count);
        exit(1);
    }
    sink += handles[0];
}

static void fill(CK_BYTE *b, CK_ULONG n) {
    for (CK_ULONG i = 0; i < n; i++) b[i] = (CK_BYTE)(i * 31 + 7);
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s ROUTE-NAME MODULE SLOT PIN\n", argv[0]);
        return 2;
    }
    const char *route = argv[1];
    void *lib = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(lib, "C_GetFunctionList");
    if (get == NULL) return 1;
    ok("C_GetFunctionList", get(&f));

    CK_C_INITIALIZE_ARGS init;
    memset(&init, 0, sizeof init);
    init.flags = CKF_OS_LOCKING_OK;
    ok("C_Initialize", f->C_Initialize(&init));
    ok("C_OpenSession", f->C_OpenSession(strtoul(argv[3], NULL, 10), CKF_SERIAL_SESSION, NULL, NULL, &session));
    ok("C_Login", f->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)argv[4], strlen(argv[4])));

    CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
    char key_label[] = "bench-ec";
    CK_ATTRIBUTE key_template[] = {
        {CKA_CLASS, &key_class, sizeof key_class},
        {CKA_LABEL, key_label, sizeof key_label - 1},
    };
    CK_ULONG count = 0;
    ok("C_FindObjectsInit", f->C_FindObjectsInit(session, key_template, 2));
    ok("C_FindObjects", f->C_FindObjects(session, &key, 1, &count));
    ok("C_FindObjectsFinal", f->C_FindObjectsFinal(session));
    if (count != 1) {
        fprintf(stderr, "no key labelled %s\n", key_label);
        return 1;
    }

    measure(route, "session_info", session_info);
    measure(route, "random_32", random_32);
    data = malloc(MIB);
    if (data == NULL) return 1;
    fill(data, MIB);
    data_length = 64;
    measure(route, "digest_64", digest);
    data_length = MIB;
    measure(route, "digest_1m", digest);
    fill(hash, sizeof hash);
    measure(route, "sign_ecdsa", sign);
    measure(route, "find_objects", find_objects);

    f->C_Logout(session);
    f->C_CloseSession(session);
    f->C_Finalize(NULL);
    free(data);
    return 0;
}
