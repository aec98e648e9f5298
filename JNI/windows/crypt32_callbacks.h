/*
 * The functions this library hands to crypt32 to be called back: the two
 * store-enumeration callbacks, which call a Java method for each store,
 * and the stubs that cryptInstallOIDFunctionAddress installs.  Windows
 * build only.
 */
#ifndef ORVJNI_WINDOWS_CRYPT32_CALLBACKS_H
#define ORVJNI_WINDOWS_CRYPT32_CALLBACKS_H

#if defined(_WIN32)

#include <windows.h>
#include <wincrypt.h>

#include "runtime/bridge.h"

/* The callback argument of an enumeration: lives on the enumerating
 * native's stack for the length of the platform call, which calls back
 * synchronously on the same thread.  The references are the native's own
 * arguments. */
struct StoreEnumContext {
    JNIEnv *env;
    jobject arg;       // passed back as the Java method's last argument
    jobject callback;  // the object whose "callback" is called
    bool stopped;      // set by a callback that answered FALSE
};

/* PFN_CERT_ENUM_SYSTEM_STORE and PFN_CERT_ENUM_PHYSICAL_STORE.  Each call
 * of the platform makes one call of callback.callback(...) and answers its
 * boolean: FALSE stops the enumeration.  A missing method, a Java method
 * that throws, or a Pointer that cannot be made also answer FALSE, with
 * the exception left pending for the Java caller of the enumeration, and
 * mark the context stopped.  The
 * local references made for a call are deleted before it returns, so that
 * a location with many stores cannot fill the caller's local frame. */
BOOL WINAPI SystemStoreEnumCallback(const void *system_store, DWORD flags,
                                    PCERT_SYSTEM_STORE_INFO info, void *reserved, void *arg);
BOOL WINAPI PhysicalStoreEnumCallback(const void *system_store, DWORD flags, LPCWSTR name,
                                      PCERT_PHYSICAL_STORE_INFO info, void *reserved, void *arg);

/* The function cryptInstallOIDFunctionAddress installs for the entries of
 * a function set crypt32 defines (func_name, matched without regard to
 * case): it takes the set's own arguments, ignores them and answers FALSE.
 * Null for a set this library knows no prototype of. */
void *OidFunctionStubFor(const char *func_name);

#endif
#endif
