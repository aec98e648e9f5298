#include "pointer/registry.h"

#include "runtime/lock.h"

static plist list;  // zero-filled: the empty registry
static OrvLock list_lock = ORV_LOCK_INIT;

bool RegistryAdd(void *address) {
    LockAcquire(&list_lock);
    bool added = PlistAdd(&list, address);
    LockRelease(&list_lock);
    return added;
}

void RegistryIncref(void *address) {
    LockAcquire(&list_lock);
    plist_incref(&list, address);
    LockRelease(&list_lock);
}

bool RegistryDelete(void *address) {
    LockAcquire(&list_lock);
    bool last = plist_delete(&list, address) == 1;
    LockRelease(&list_lock);
    return last;
}

bool RegistryKnows(void *address) {
    LockAcquire(&list_lock);
    bool known = PlistFind(&list, address) != nullptr;
    LockRelease(&list_lock);
    return known;
}

plist *RegistryList(void) { return &list; }
