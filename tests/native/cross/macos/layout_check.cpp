// The widths and layouts that the macOS x86_64 build relies on, asserted
// with the platform's own headers: this file compiling is the check.
#include <jni.h>
#include <pthread.h>
#include <stddef.h>

#include <p11-kit/pkcs11.h>

#include "pkcs11/token_module.h"
#include "runtime/lock.h"

static_assert(sizeof(void *) == 8 && sizeof(long) == 8, "LP64");
static_assert(sizeof(CK_ULONG) == 8, "a CK_ULONG is 8 bytes, as getPlatformLongIntSize says");
static_assert(sizeof(jlong) == 8 && sizeof(jint) == 4, "Java long and int");

// The block CreateMutexCallback allocates for a module, and the lock of
// the block registry: macOS's pthread_mutex_t is a 64-byte record (a
// 8-byte signature and 56 opaque bytes), not glibc's 40.
static_assert(sizeof(pthread_mutex_t) == 64, "pthread_mutex_t");
static_assert(sizeof(OrvLock) == sizeof(pthread_mutex_t), "the registry's lock is a plain mutex");

// Cryptoki records, naturally aligned.
static_assert(sizeof(CK_VERSION) == 2, "CK_VERSION");
static_assert(sizeof(CK_ATTRIBUTE) == 24 && offsetof(CK_ATTRIBUTE, ulValueLen) == 16, "CK_ATTRIBUTE");
static_assert(sizeof(CK_MECHANISM) == 24 && offsetof(CK_MECHANISM, ulParameterLen) == 16, "CK_MECHANISM");
static_assert(sizeof(CK_INFO) == 88 && offsetof(CK_INFO, flags) == 40, "CK_INFO");
static_assert(sizeof(CK_C_INITIALIZE_ARGS) == 48 && offsetof(CK_C_INITIALIZE_ARGS, flags) == 32,
              "CK_C_INITIALIZE_ARGS");
static_assert(sizeof(CK_FUNCTION_LIST) == 552 && offsetof(CK_FUNCTION_LIST, C_Initialize) == 8,
              "function table: 68 entries after the padded version");
