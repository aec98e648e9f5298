/*
 * A process-wide lock that needs no constructor: statically initialised on
 * every platform, so it is ready before any native runs.
 */
#ifndef ORVJNI_LOCK_H
#define ORVJNI_LOCK_H

#if defined(_WIN32)
#include <windows.h>
typedef SRWLOCK OrvLock;
#define ORV_LOCK_INIT SRWLOCK_INIT
inline void LockAcquire(OrvLock *lock) { AcquireSRWLockExclusive(lock); }
inline void LockRelease(OrvLock *lock) { ReleaseSRWLockExclusive(lock); }
#else
#include <pthread.h>
typedef pthread_mutex_t OrvLock;
#define ORV_LOCK_INIT PTHREAD_MUTEX_INITIALIZER
inline void LockAcquire(OrvLock *lock) { pthread_mutex_lock(lock); }
inline void LockRelease(OrvLock *lock) { pthread_mutex_unlock(lock); }
#endif

#endif
