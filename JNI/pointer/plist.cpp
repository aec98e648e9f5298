// The exported reference-counted registry for other native code's own
// plist records: a doubly linked list of nodes, newest first, one per
// registered block address, searched linearly from the head.  (The
// library's own registry is the index in registry.cpp.)
#include <stdlib.h>

#include "orvjni.h"

static BlockNode *PlistFind(plist *registry, void *address) {
    for (BlockNode *node = registry->head; node != nullptr; node = node->next)
        if (node->address == address) return node;
    return nullptr;
}

void plist_new(plist *registry) {
    registry->count = 0;
    registry->head = nullptr;
}

void plist_add(plist *registry, void *address) {
    BlockNode *node = PlistFind(registry, address);
    if (node != nullptr) {
        node->refcount++;
        return;
    }
    // Out of memory: the address stays unregistered, as if never added.
    node = static_cast<BlockNode *>(malloc(sizeof(BlockNode)));
    if (node == nullptr) return;
    node->address = address;
    node->refcount = 1;
    node->prev = nullptr;
    node->next = registry->head;
    if (registry->head != nullptr) registry->head->prev = node;
    registry->head = node;
    registry->count++;
}

void plist_incref(plist *registry, void *address) {
    BlockNode *node = PlistFind(registry, address);
    if (node != nullptr) node->refcount++;
}

int plist_delete(plist *registry, void *address) {
    BlockNode *node = PlistFind(registry, address);
    if (node == nullptr) return 0;
    if (--node->refcount > 0) return 0;
    if (node->next != nullptr) node->next->prev = node->prev;
    if (node->prev != nullptr) node->prev->next = node->next;
    if (registry->head == node) registry->head = node->next;
    free(node);
    registry->count--;
    return 1;
}

void plist_free(plist *registry) {
    // Leaves head dangling on purpose: plist_new must follow (plist_reset).
    BlockNode *node = registry->head;
    while (node != nullptr) {
        BlockNode *next = node->next;
        free(node);
        registry->count--;
        node = next;
    }
}

void plist_reset(plist *registry) {
    plist_free(registry);
    plist_new(registry);
}
