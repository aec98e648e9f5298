/*
 * The library's one registry of Java-held blocks: an index by address, so
 * that registering, finding, adding a reference and dropping one cost the
 * same however many blocks are live.  Every access takes the registry
 * lock, and nothing is called out of it while the lock is held, so natives
 * on any number of Java threads may share blocks.
 *
 * The exported plist_... functions work on registries that other native
 * code keeps (plist.cpp); the library's own registry is not one of them.
 */
#ifndef ORVJNI_REGISTRY_H
#define ORVJNI_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

#include "orvjni.h"

/* How a block was made, and so how its last free hands it back. */
enum BlockKind : uint8_t {
    kBlockAllocated,    /* malloc: back to free */
    kBlockPinnedBytes,  /* GetByteArrayElements: ReleaseByteArrayElements */
    kBlockPinnedInts,   /* GetIntArrayElements: ReleaseIntArrayElements */
    kBlockPinnedLongs,  /* GetLongArrayElements: ReleaseLongArrayElements */
};

/* What the library knows of a block it registered, whatever the Java
 * objects standing for it say by now: any of them may be an alias with its
 * own "o", and the Windows natives rewrite "size" with the length a
 * platform call reported. */
typedef struct BlockRecord {
    void *address;       /* the registered address, the key; never null */
    jobject array;       /* pinned kinds: a global reference to the array */
    uint32_t length;     /* bytes from the registered address to the block's end */
    uint32_t pin_offset; /* bytes from the pinned elements to the registered address */
    int32_t refcount;
    uint8_t kind;        /* a BlockKind */
} BlockRecord;

/* Records are kept by value in the index; their size is what one live
 * block costs the registry beyond the index's free slots. */
static_assert(sizeof(BlockRecord) == 2 * sizeof(void *) + 16, "BlockRecord packs into four words");
static_assert(sizeof(jobject) == sizeof(void *), "a reference is pointer-sized");

enum RegistryResult {
    kRegistryAdded,     /* a new record, refcount 1 */
    kRegistryShared,    /* the address was registered already: a reference was added
                           and the existing record stays */
    kRegistryNoMemory,  /* nothing changed */
};

/* Registers record->address with the rest of *record (its refcount is
 * ignored), or adds a reference to the record already there. */
RegistryResult RegistryAdd(const BlockRecord *record);
void RegistryIncref(void *address);
/* True when the last reference went: the record is gone from the registry
 * and *released (may be null) holds it, for the caller to release the
 * block by. */
bool RegistryDelete(void *address, BlockRecord *released = nullptr);
/* True when the address is a block the registry holds; *record (may be
 * null) receives it. */
bool RegistryLookup(void *address, BlockRecord *record);
inline bool RegistryKnows(void *address) { return RegistryLookup(address, nullptr); }
/* Live records. */
size_t RegistryCount(void);
/* Live records, with copies of up to max of them in out. */
size_t RegistrySnapshot(BlockRecord *out, size_t max);

#endif
