// The four mutex functions handed to modules that ask for them.  Modules
// call them from any thread, also threads the VM never attached, so they
// touch nothing but the mutex they are given.
#include <stdlib.h>

#include "runtime/bridge.h"

#if defined(_WIN32)
#include <windows.h>

CK_RV CreateMutexCallback(void **mutex) {
    HANDLE handle = CreateMutexW(nullptr, FALSE, nullptr);
    if (handle == nullptr) return CKR_FUNCTION_FAILED;
    *mutex = handle;
    return CKR_OK;
}

CK_RV DestroyMutexCallback(void *mutex) {
    return CloseHandle(static_cast<HANDLE>(mutex)) ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV LockMutexCallback(void *mutex) {
    // An abandoned mutex (WAIT_ABANDONED) is a failure too.
    return WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE) == WAIT_OBJECT_0
               ? CKR_OK
               : CKR_FUNCTION_FAILED;
}

CK_RV UnlockMutexCallback(void *mutex) {
    return ReleaseMutex(static_cast<HANDLE>(mutex)) ? CKR_OK : CKR_FUNCTION_FAILED;
}

#else
#include <pthread.h>

CK_RV CreateMutexCallback(void **mutex) {
    pthread_mutex_t *block = static_cast<pthread_mutex_t *>(malloc(sizeof(pthread_mutex_t)));
    if (block == nullptr) return CKR_FUNCTION_FAILED;
    if (pthread_mutex_init(block, nullptr) != 0) {
        free(block);
        return CKR_FUNCTION_FAILED;
    }
    *mutex = block;
    return CKR_OK;
}

CK_RV DestroyMutexCallback(void *mutex) {
    pthread_mutex_destroy(static_cast<pthread_mutex_t *>(mutex));
    free(mutex);
    return CKR_OK;
}

CK_RV LockMutexCallback(void *mutex) {
    return pthread_mutex_lock(static_cast<pthread_mutex_t *>(mutex)) == 0 ? CKR_OK
                                                                          : CKR_FUNCTION_FAILED;
}

CK_RV UnlockMutexCallback(void *mutex) {
    return pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex)) == 0 ? CKR_OK
                                                                            : CKR_FUNCTION_FAILED;
}

#endif
