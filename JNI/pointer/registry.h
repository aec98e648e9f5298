/*
 * The library's one registry of Java-held blocks.  Every access takes the
 * registry lock, so natives on any number of Java threads may share blocks.
 */
#ifndef ORVJNI_REGISTRY_H
#define ORVJNI_REGISTRY_H

#include "orvjni.h"

/* Registers a block or adds a reference; false when no node could be made. */
bool RegistryAdd(void *address);
void RegistryIncref(void *address);
/* True when the last reference went and the caller must release the block. */
bool RegistryDelete(void *address);
/* True when the address is a block the library registered. */
bool RegistryKnows(void *address);
/* The list operations underneath, for the registry and its tests. */
BlockNode *PlistFind(plist *registry, void *address);
bool PlistAdd(plist *registry, void *address);

/* For tests: the registry itself (callers hold no lock while reading). */
plist *RegistryList(void);

#endif
