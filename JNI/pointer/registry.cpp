// The library's block registry: an open-addressing hash index of block
// records keyed by address (linear probing; a deletion shifts the records
// after it back, so no tombstones pile up however long a server runs).
// Cost per operation is O(1) expected whatever the number of live blocks.
#include "pointer/registry.h"

#include <stdlib.h>

#include "runtime/lock.h"
#include "runtime/trace.h"

namespace {

// Zero-filled at load: no slots, the empty registry.  Slots hold records
// by value; a slot whose address is null is free.
struct BlockIndex {
    BlockRecord *slots;
    size_t mask;   // capacity - 1; capacity is a power of two
    size_t count;  // live records
    unsigned shift;  // 64 - log2(capacity), for the multiplicative hash
};

const size_t kFirstCapacity = 64;

}  // namespace

static BlockIndex index_;
static OrvLock index_lock = ORV_LOCK_INIT;

// Fibonacci hashing: blocks are aligned, so the low bits of their
// addresses say little; the multiply spreads every bit into the top ones.
static size_t HomeSlot(const BlockIndex &ix, const void *address) {
    uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> ix.shift);
}

// The slot holding the address, or the free slot where it would go.
static size_t Probe(const BlockIndex &ix, const void *address) {
    size_t i = HomeSlot(ix, address);
    while (ix.slots[i].address != nullptr && ix.slots[i].address != address) i = (i + 1) & ix.mask;
    return i;
}

static BlockRecord *Find(const BlockIndex &ix, const void *address) {
    if (ix.slots == nullptr || address == nullptr) return nullptr;
    BlockRecord *slot = &ix.slots[Probe(ix, address)];
    return slot->address != nullptr ? slot : nullptr;
}

static unsigned Log2(size_t capacity) {
    unsigned bits = 0;
    while ((static_cast<size_t>(1) << bits) < capacity) bits++;
    return bits;
}

// Moves every record into a table of twice the room (or the first table).
// False, with nothing changed, when there is no memory for it.
static bool Grow(BlockIndex *ix) {
    size_t capacity = ix->slots == nullptr ? kFirstCapacity : 2 * (ix->mask + 1);
    if (capacity > SIZE_MAX / sizeof(BlockRecord)) return false;
    BlockRecord *slots = static_cast<BlockRecord *>(calloc(capacity, sizeof(BlockRecord)));
    if (slots == nullptr) return false;
    BlockIndex grown = {slots, capacity - 1, ix->count, 64u - Log2(capacity)};
    if (ix->slots != nullptr) {
        for (size_t i = 0; i <= ix->mask; i++)
            if (ix->slots[i].address != nullptr) grown.slots[Probe(grown, ix->slots[i].address)] = ix->slots[i];
        free(ix->slots);
    }
    *ix = grown;
    return true;
}

// At most three quarters full, so probe runs stay short.
static bool HasRoomForOneMore(const BlockIndex &ix) {
    return ix.slots != nullptr && 4 * (ix.count + 1) <= 3 * (ix.mask + 1);
}

// Empties slot i and shifts back each record of the run after it that
// would otherwise sit beyond a free slot from its home.
static void RemoveAt(BlockIndex *ix, size_t i) {
    size_t j = i;
    for (;;) {
        j = (j + 1) & ix->mask;
        if (ix->slots[j].address == nullptr) break;
        size_t home = HomeSlot(*ix, ix->slots[j].address);
        // The record at j may move to i unless its home lies cyclically in (i, j].
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!stays) {
            ix->slots[i] = ix->slots[j];
            i = j;
        }
    }
    ix->slots[i] = BlockRecord{};
    ix->count--;
}

// One registry event for the trace, written after the lock is let go:
// what happened to which block, its references and the live count then.
static void TraceEvent(const char *event, const void *address, const BlockRecord &record,
                       size_t live) {
    static const char *const kKinds[] = {"allocated", "pinned byte[]", "pinned int[]", "pinned long[]"};
    TraceLine line;
    TraceBegin(&line, "block");
    TraceAdd(&line, " %s 0x%lx", event, TraceBits(address));
    if (record.address != nullptr)
        TraceAdd(&line, " [%s, %lu bytes, %d refs]", kKinds[record.kind & 3],
                 static_cast<unsigned long>(record.length), static_cast<int>(record.refcount));
    TraceAdd(&line, ", %lu live", static_cast<unsigned long>(live));
    TraceEnd(&line);
}

RegistryResult RegistryAdd(const BlockRecord *record) {
    if (record->address == nullptr) return kRegistryNoMemory;  // never a block
    RegistryResult result = kRegistryNoMemory;
    bool traced = TraceBlocksOn();
    LockAcquire(&index_lock);
    BlockRecord *known = Find(index_, record->address);
    if (known != nullptr) {
        known->refcount++;
        result = kRegistryShared;
    } else if (HasRoomForOneMore(index_) || Grow(&index_)) {
        BlockRecord *slot = &index_.slots[Probe(index_, record->address)];
        *slot = *record;
        slot->refcount = 1;
        index_.count++;
        result = kRegistryAdded;
    }
    // What the trace says is taken under the lock, and only when traced.
    BlockRecord now = traced && known != nullptr ? *known : BlockRecord{};
    size_t live = traced ? index_.count : 0;
    LockRelease(&index_lock);
    if (traced) {
        if (result == kRegistryAdded) now = *record, now.refcount = 1;
        TraceEvent(result == kRegistryAdded ? "register" : result == kRegistryShared ? "add reference" : "not registered (no memory)",
                   record->address, now, live);
    }
    return result;
}

void RegistryIncref(void *address) {
    bool traced = TraceBlocksOn();
    LockAcquire(&index_lock);
    BlockRecord *known = Find(index_, address);
    if (known != nullptr) known->refcount++;
    BlockRecord now = traced && known != nullptr ? *known : BlockRecord{};
    size_t live = traced ? index_.count : 0;
    LockRelease(&index_lock);
    if (traced) TraceEvent(known != nullptr ? "add reference" : "add reference to an unknown block", address, now, live);
}

bool RegistryDelete(void *address, BlockRecord *released) {
    bool last = false;
    bool traced = TraceBlocksOn();
    LockAcquire(&index_lock);
    BlockRecord *known = Find(index_, address);
    BlockRecord now = BlockRecord{};
    if (known != nullptr && --known->refcount <= 0) {
        if (traced) now = *known;
        if (released != nullptr) *released = *known;
        RemoveAt(&index_, static_cast<size_t>(known - index_.slots));
        last = true;
    } else if (known != nullptr && traced) {
        now = *known;
    }
    size_t live = traced ? index_.count : 0;
    LockRelease(&index_lock);
    if (traced)
        TraceEvent(last ? "release" : known != nullptr ? "drop reference" : "free of an unknown block", address, now, live);
    return last;
}

bool RegistryLookup(void *address, BlockRecord *record) {
    LockAcquire(&index_lock);
    BlockRecord *known = Find(index_, address);
    if (known != nullptr && record != nullptr) *record = *known;
    LockRelease(&index_lock);
    return known != nullptr;
}

size_t RegistryCount(void) {
    LockAcquire(&index_lock);
    size_t count = index_.count;
    LockRelease(&index_lock);
    return count;
}

size_t RegistrySnapshot(BlockRecord *out, size_t max) {
    LockAcquire(&index_lock);
    size_t count = index_.count, copied = 0;
    for (size_t i = 0; index_.slots != nullptr && i <= index_.mask && copied < max; i++)
        if (index_.slots[i].address != nullptr) out[copied++] = index_.slots[i];
    LockRelease(&index_lock);
    return count;
}
