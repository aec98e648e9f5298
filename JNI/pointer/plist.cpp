// The reference-counted block registry: a doubly linked list of nodes,
// newest first, one per registered block address.
#include <stdlib.h>

#include "pointer/registry.h"

BlockNode *PlistFind(plist *registry, void *address) {
    for (BlockNode *node = registry->head; node != nullptr; node = node->next)
        if (node->address == address) return node;
    return nullptr;
}

void plist_new(plist *registry) {
    registry->count = 0;
    registry->head = nullptr;
}

BlockNode *PlistAdd(plist *registry, void *address, size_t node_size) {
    BlockNode *node = PlistFind(registry, address);
    if (node != nullptr) {
        node->refcount++;
        return node;
    }
    node = static_cast<BlockNode *>(malloc(node_size));
    if (node == nullptr) return nullptr;
    node->address = address;
    node->refcount = 1;
    node->prev = nullptr;
    node->next = registry->head;
    if (registry->head != nullptr) registry->head->prev = node;
    registry->head = node;
    registry->count++;
    return node;
}

void plist_add(plist *registry, void *address) { PlistAdd(registry, address, sizeof(BlockNode)); }

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
