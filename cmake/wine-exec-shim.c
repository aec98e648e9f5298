/*
 * Preloaded into the 32-bit Wine processes that cmake/wine-run.sh starts
 * under qemu-i386.  Wine starts its server and every further Windows
 * process by exec'ing its own 32-bit binaries; on a host that cannot run
 * those by itself, such an exec fails with ENOEXEC.  This shim catches
 * that and runs the same binary through qemu-i386 instead, with the shim
 * preloaded again.  The server launcher is a shell script around the
 * 32-bit server binary, so it goes to that binary directly.
 *
 * Built by wine-run.sh with the host compiler for i386 and linked against
 * the i386 C library that Wine itself uses; no i386 headers are needed,
 * hence the few declarations below.
 */
typedef unsigned int size_t;

extern char **environ;
extern int *__errno_location(void);
extern void *dlsym(void *handle, const char *name);
extern char *getenv(const char *name);
extern int access(const char *path, int mode);
extern size_t strlen(const char *s);
extern int strncmp(const char *a, const char *b, size_t n);
extern void *memcpy(void *to, const void *from, size_t n);

#define RTLD_NEXT ((void *)-1l)
#define ENOEXEC 8
#define X_OK 1
#define MAX_ARGS 512
#define MAX_ENV 2048
#define MAX_PATH 4096

typedef int (*execve_fn)(const char *, char *const[], char *const[]);

static execve_fn real_execve(void) {
    static execve_fn real;
    if (!real) real = (execve_fn)dlsym(RTLD_NEXT, "execve");
    return real;
}

static int ends_with(const char *s, const char *tail) {
    size_t n = strlen(s), t = strlen(tail);
    return n >= t && strncmp(s + n - t, tail, t) == 0;
}

static int through_qemu(const char *path, char *const argv[], char *const envp[]) {
    const char *qemu = getenv("ORVJNI_WINE_QEMU");
    const char *shim = getenv("ORVJNI_WINE_SHIM");
    static char server[MAX_PATH];
    static char preload[MAX_PATH + 16];
    char *args[MAX_ARGS];
    char *env[MAX_ENV];
    int a = 0, e = 0, i;
    if (!qemu || !shim || strlen(path) + 3 > MAX_PATH || strlen(shim) + 12 > MAX_PATH) {
        *__errno_location() = ENOEXEC;
        return -1;
    }
    if (ends_with(path, "/wineserver")) {
        size_t n = strlen(path);
        memcpy(server, path, n);
        memcpy(server + n, "32", 3);
        if (access(server, X_OK) == 0) path = server;
    }
    memcpy(preload, "LD_PRELOAD=", 11);
    memcpy(preload + 11, shim, strlen(shim) + 1);
    args[a++] = (char *)qemu;
    args[a++] = (char *)"-E";
    args[a++] = preload;
    args[a++] = (char *)path;
    for (i = 1; argv[0] && argv[i] && a < MAX_ARGS - 1; ++i) args[a++] = argv[i];
    args[a] = 0;
    /* qemu itself is a host program: the i386 shim is not for it. */
    for (i = 0; envp[i] && e < MAX_ENV - 1; ++i)
        if (strncmp(envp[i], "LD_PRELOAD=", 11) != 0) env[e++] = envp[i];
    env[e] = 0;
    return real_execve()(qemu, args, env);
}

int execve(const char *path, char *const argv[], char *const envp[]) {
    if (ends_with(path, "/wineserver")) return through_qemu(path, argv, envp);
    int rc = real_execve()(path, argv, envp);
    if (rc != 0 && *__errno_location() == ENOEXEC) return through_qemu(path, argv, envp);
    return rc;
}

int execv(const char *path, char *const argv[]) { return execve(path, argv, environ); }
