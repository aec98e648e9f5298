/*
 * Where the bridge's time goes inside its natives, counted by callgrind in
 * a real JVM: this program starts a JVM through the invocation interface,
 * lets ProfileSetup open a session and make the careful route's blocks,
 * and then runs each operation of the careful route itself, PROFILE_CALLS
 * times (a quarter of that for signing), calling the bridge's natives with
 * the JVM's own JNIEnv.  Only those rounds are collected (run it under
 * --collect-atstart=no), one dump per operation, so every instruction in a
 * dump belongs to that operation's natives: their own code, the JNI
 * functions they call, and the module.
 *
 *   valgrind --tool=callgrind --collect-atstart=no \
 *       bench_profile CLASSPATH LIBRARY MODULE SLOT PIN
 *
 * Prints the addresses of the JNI functions that have no symbol.  The JVM
 * entering and leaving a native (the transition that every JNI route pays)
 * is not in these counts: the natives are called from C.
 */
#include <dlfcn.h>
#include <jni.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <valgrind/callgrind.h>

typedef jlong (*SessionCall)(JNIEnv *, jclass, jlong, jlong);
typedef jlong (*BlockCall)(JNIEnv *, jclass, jlong, jlong, jobject);
typedef jlong (*BlockLongCall)(JNIEnv *, jclass, jlong, jlong, jobject, jlong);
typedef jlong (*InOutCall)(JNIEnv *, jclass, jlong, jlong, jobject, jlong, jobject, jlongArray);
typedef jlong (*FindCall)(JNIEnv *, jclass, jlong, jlong, jobject, jlong, jlongArray);
typedef jobject (*ReadCall)(JNIEnv *, jobject);
typedef void (*CopyCall)(JNIEnv *, jclass, jbyteArray, jint, jobject, jint, jint);
typedef jobject (*AllocCall)(JNIEnv *, jclass, jint);
typedef void (*FreeCall)(JNIEnv *, jobject);

static void *bridge;
static void *native(const char *name) {
    void *f = dlsym(bridge, name);
    if (f == NULL) {
        fprintf(stderr, "no %s in the bridge\n", name);
        exit(1);
    }
    return f;
}

static JNIEnv *env;
static jclass setup;
static jobject field(const char *name, const char *sig) {
    return (*env)->GetStaticObjectField(env, setup, (*env)->GetStaticFieldID(env, setup, name, sig));
}
static jlong long_field(const char *name) {
    return (*env)->GetStaticLongField(env, setup, (*env)->GetStaticFieldID(env, setup, name, "J"));
}

static void ok(const char *what, jlong rv) {
    if (rv != 0) {
        fprintf(stderr, "%s answered 0x%llx\n", what, (unsigned long long)rv);
        exit(1);
    }
}

/* Each operation: a few uncollected rounds to settle lazy binding and the
 * JVM's caches, then CALLS collected ones and a dump named after it.  The
 * counts start from zero for every operation (call counts included, which
 * callgrind keeps even while it collects no cost), so every instruction
 * and every call in a dump belongs to that operation's natives. */
#define PROFILE(name, rounds, ...)                        \
    do {                                                  \
        for (long i_ = 0; i_ < 5; i_++) {                 \
            __VA_ARGS__;                                  \
        }                                                 \
        CALLGRIND_ZERO_STATS;                             \
        CALLGRIND_TOGGLE_COLLECT;                         \
        for (long i_ = 0; i_ < (rounds); i_++) {          \
            __VA_ARGS__;                                  \
        }                                                 \
        CALLGRIND_TOGGLE_COLLECT;                         \
        CALLGRIND_DUMP_STATS_AT(name);                    \
    } while (0)

#define STATIC(name) "Java_Orvalith_Base_JNI_" name
#define POINTER(name) "Java_Orvalith_Base_JNI_00024Pointer_" name
#define P "LOrvalith/Base/JNI$Pointer;"

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s CLASSPATH LIBRARY MODULE SLOT PIN\n", argv[0]);
        return 2;
    }
    long calls = getenv("PROFILE_CALLS") != NULL ? atol(getenv("PROFILE_CALLS")) : 200;
    long sign_calls = calls / 4 > 0 ? calls / 4 : 1;

    static char classpath[4096], library[4096];
    snprintf(classpath, sizeof classpath, "-Djava.class.path=%s", argv[1]);
    snprintf(library, sizeof library, "-Dorvjni.library=%s", argv[2]);
    JavaVMOption options[] = {{classpath, NULL}, {library, NULL}, {"-Xint", NULL}, {"-XX:+UseSerialGC", NULL},
                              {"-XX:-UsePerfData", NULL}};
    JavaVMInitArgs vm_args = {JNI_VERSION_1_8, sizeof options / sizeof options[0], options, JNI_FALSE};
    JavaVM *vm;
    if (JNI_CreateJavaVM(&vm, (void **)&env, &vm_args) != JNI_OK) {
        fprintf(stderr, "no JVM\n");
        return 1;
    }
    /* Some JNI functions are code that the JVM generates at start (the fast
     * field getters): they have no symbol, so name them by their address. */
#define SHOW(name) printf("jni\t%s\t0x%016llx\n", #name, (unsigned long long)(uintptr_t)(*env)->name)
    SHOW(GetLongField);
    SHOW(GetIntField);
    SHOW(GetObjectField);
    SHOW(GetBooleanField);
    SHOW(GetByteField);
    SHOW(GetCharField);
    SHOW(GetShortField);
    SHOW(GetFloatField);
    SHOW(GetDoubleField);
    fflush(stdout);

    setup = (*env)->FindClass(env, "Orvalith/Bench/ProfileSetup");
    jclass jni = (*env)->FindClass(env, "Orvalith/Base/JNI");
    jclass pointer_class = (*env)->FindClass(env, "Orvalith/Base/JNI$Pointer");
    if (setup == NULL || jni == NULL || pointer_class == NULL) {
        (*env)->ExceptionDescribe(env);
        return 1;
    }
    jmethodID open = (*env)->GetStaticMethodID(env, setup, "open", "(Ljava/lang/String;JLjava/lang/String;)V");
    (*env)->CallStaticVoidMethod(env, setup, open, (*env)->NewStringUTF(env, argv[3]),
                                 (jlong)strtoll(argv[4], NULL, 10), (*env)->NewStringUTF(env, argv[5]));
    if ((*env)->ExceptionCheck(env)) {
        (*env)->ExceptionDescribe(env);
        return 1;
    }
    bridge = dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD);
    if (bridge == NULL) {
        fprintf(stderr, "the bridge is not loaded: %s\n", dlerror());
        return 1;
    }

    jlong module = long_field("module"), session = long_field("session"), key = long_field("key");
    jlong template_count = long_field("templateCount");
    jobject info = field("info", P), random = field("random", P), data = field("data", P);
    jobject digest = field("digest", P), sha256 = field("sha256", P), hash = field("hash", P);
    jobject signature = field("signature", P), ecdsa = field("ecdsa", P), template = field("template", P);
    jobject handles = field("handles", P);
    jlongArray length = field("length", "[J"), count = field("count", "[J");
    jbyteArray input = field("input", "[B");
    jlong one = 0;

    BlockCall get_session_info = (BlockCall)native(STATIC("c_1GetSessionInfo"));
    BlockLongCall generate_random = (BlockLongCall)native(STATIC("c_1GenerateRandom"));
    BlockCall digest_init = (BlockCall)native(STATIC("c_1DigestInit"));
    InOutCall digest_call = (InOutCall)native(STATIC("c_1Digest"));
    BlockLongCall sign_init = (BlockLongCall)native(STATIC("c_1SignInit"));
    InOutCall sign_call = (InOutCall)native(STATIC("c_1Sign"));
    BlockLongCall find_init = (BlockLongCall)native(STATIC("c_1FindObjectsInit"));
    FindCall find = (FindCall)native(STATIC("c_1FindObjects"));
    SessionCall find_final = (SessionCall)native(STATIC("c_1FindObjectsFinal"));
    ReadCall get_content = (ReadCall)native(POINTER("getContent"));
    ReadCall get_longs = (ReadCall)native(POINTER("getNativeArrayAsLongs"));
    CopyCall copy = (CopyCall)native(POINTER("copy"));
    AllocCall get_instance = (AllocCall)native(POINTER("getInstance__I"));
    FreeCall free_block = (FreeCall)native(POINTER("free"));

    jobject out = NULL;
#define SET_LENGTH(v) (one = (v), (*env)->SetLongArrayRegion(env, length, 0, 1, &one))
#define DROP(x) (out = (x), (*env)->DeleteLocalRef(env, out))
    PROFILE("session_info", calls,
            ok("C_GetSessionInfo", get_session_info(env, jni, module, session, info)), DROP(get_content(env, info)));
    PROFILE("random_32", calls, ok("C_GenerateRandom", generate_random(env, jni, module, session, random, 32)),
            DROP(get_content(env, random)));
    PROFILE("digest_64", calls, copy(env, pointer_class, input, 0, data, 0, 64),
            ok("C_DigestInit", digest_init(env, jni, module, session, sha256)), SET_LENGTH(32),
            ok("C_Digest", digest_call(env, jni, module, session, data, 64, digest, length)),
            DROP(get_content(env, digest)));
    PROFILE("sign_ecdsa", sign_calls, copy(env, pointer_class, input, 0, hash, 0, 32),
            ok("C_SignInit", sign_init(env, jni, module, session, ecdsa, key)), SET_LENGTH(64),
            ok("C_Sign", sign_call(env, jni, module, session, hash, 32, signature, length)),
            DROP(get_content(env, signature)));
    PROFILE("find_objects", calls,
            ok("C_FindObjectsInit", find_init(env, jni, module, session, template, template_count)),
            ok("C_FindObjects", find(env, jni, module, session, handles, 16, count)),
            ok("C_FindObjectsFinal", find_final(env, jni, module, session)), DROP(get_longs(env, handles)));
    /* The registry's own pair, with the dozen blocks above live. */
    PROFILE("alloc_free", calls, out = get_instance(env, pointer_class, 64), free_block(env, out),
            (*env)->DeleteLocalRef(env, out));
    printf("profiled %ld calls per native (%ld for signing)\n", calls, sign_calls);
    return 0;
}
