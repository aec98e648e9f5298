/*
 * The library's one registry of Java-held blocks.  Every access takes the
 * registry lock, so natives on any number of Java threads may share blocks.
 */
#ifndef ORVJNI_REGISTRY_H
#define ORVJNI_REGISTRY_H

#include <stddef.h>

#include "orvjni.h"

/* What the library knows of a block it registered, whatever the Java
 * object's fields say by now: the Windows natives rewrite "size" with the
 * length a platform call reported, and Java code may set it too. */
typedef struct BlockFacts {
    size_t length;      /* bytes from the registered address to the block's end */
    size_t pin_offset;  /* bytes from the pinned elements to the registered address */
} BlockFacts;

/* Registers a block or adds a reference (the first registration's facts
 * stay); false when no node could be made. */
bool RegistryAdd(void *address, BlockFacts facts);
void RegistryIncref(void *address);
/* True when the last reference went and the caller must release the block;
 * facts (may be null) then receives what the block was registered with. */
bool RegistryDelete(void *address, BlockFacts *facts = nullptr);
/* True when the address is a block the library registered; facts (may be
 * null) receives what it was registered with. */
bool RegistryLookup(void *address, BlockFacts *facts);
inline bool RegistryKnows(void *address) { return RegistryLookup(address, nullptr); }
/* The list operations underneath, for the registry and its tests.  PlistAdd
 * makes a node of node_size bytes (at least a BlockNode, which starts it)
 * or adds a reference to the address's node; null when out of memory. */
BlockNode *PlistFind(plist *registry, void *address);
BlockNode *PlistAdd(plist *registry, void *address, size_t node_size);

/* For tests: the registry itself (callers hold no lock while reading). */
plist *RegistryList(void);

#endif
