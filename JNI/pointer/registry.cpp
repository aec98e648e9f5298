#include "pointer/registry.h"

#include "runtime/lock.h"

static plist list;  // zero-filled: the empty registry
static OrvLock list_lock = ORV_LOCK_INIT;

// The registry's nodes carry the block's facts behind the list node, which
// starts the record so that the list's own code links and frees it as any
// other node.
struct RegisteredBlock {
    BlockNode node;
    BlockFacts facts;
};

static BlockFacts *FactsOf(BlockNode *node) {
    return &reinterpret_cast<RegisteredBlock *>(node)->facts;
}

bool RegistryAdd(void *address, BlockFacts facts) {
    LockAcquire(&list_lock);
    BlockNode *node = PlistAdd(&list, address, sizeof(RegisteredBlock));
    if (node != nullptr && node->refcount == 1) *FactsOf(node) = facts;
    LockRelease(&list_lock);
    return node != nullptr;
}

void RegistryIncref(void *address) {
    LockAcquire(&list_lock);
    plist_incref(&list, address);
    LockRelease(&list_lock);
}

bool RegistryDelete(void *address, BlockFacts *facts) {
    LockAcquire(&list_lock);
    BlockNode *node = PlistFind(&list, address);
    if (node != nullptr && facts != nullptr) *facts = *FactsOf(node);
    bool last = plist_delete(&list, address) == 1;
    LockRelease(&list_lock);
    return last;
}

bool RegistryLookup(void *address, BlockFacts *facts) {
    LockAcquire(&list_lock);
    BlockNode *node = PlistFind(&list, address);
    if (node != nullptr && facts != nullptr) *facts = *FactsOf(node);
    LockRelease(&list_lock);
    return node != nullptr;
}

plist *RegistryList(void) { return &list; }
