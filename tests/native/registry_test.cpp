// The block registry: list order, reference counts, unlinking, and the
// library registry's lock under many threads.
#include <map>
#include <thread>
#include <vector>

#include "pointer/registry.h"
#include "support.h"

static std::vector<void *> Order(const plist &r) {
    std::vector<void *> order;
    const BlockNode *prev = nullptr;
    for (const BlockNode *n = r.head; n != nullptr; prev = n, n = n->next) {
        EXPECT_EQ(n->prev, prev);
        order.push_back(n->address);
    }
    return order;
}

TEST(Registry, NewestFirstAndCounted) {
    plist r;
    plist_new(&r);
    int a, b, c;
    EXPECT_EQ(plist_delete(&r, &a), 0);
    plist_add(&r, &a);
    plist_add(&r, &b);
    EXPECT_EQ(Order(r), (std::vector<void *>{&b, &a}));
    EXPECT_EQ(r.count, 2);
    plist_add(&r, &c);
    // Unlinking the middle node keeps both directions intact.
    plist_add(&r, &b);
    EXPECT_EQ(plist_delete(&r, &b), 0);
    EXPECT_EQ(plist_delete(&r, &b), 1);
    EXPECT_EQ(Order(r), (std::vector<void *>{&c, &a}));
    // Unlinking the head makes its successor the head.
    EXPECT_EQ(plist_delete(&r, &c), 1);
    EXPECT_EQ(Order(r), (std::vector<void *>{&a}));
    EXPECT_EQ(r.head->prev, nullptr);
    plist_incref(&r, &a);
    plist_incref(&r, &b);  // not registered: nothing changes
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(plist_delete(&r, &a), 0);
    EXPECT_EQ(plist_delete(&r, &a), 1);
    EXPECT_EQ(r.count, 0);
    // Once gone, the same address starts afresh.
    plist_add(&r, &a);
    EXPECT_EQ(r.head->refcount, 1);
    plist_add(&r, &b);
    plist_reset(&r);
    EXPECT_EQ(r.head, nullptr);
    EXPECT_EQ(r.count, 0);
}

static BlockRecord Heap(void *address, uint32_t length) {
    return BlockRecord{address, nullptr, length, 0, 1, kBlockAllocated};
}

TEST(Registry, ConcurrentAddAndDeleteNeverLoseOrDoubleANode) {
    if (!ThreadsWork()) return;  // see ThreadsWork
    const int threads = 8, rounds = 2000;
    static char blocks[threads][4];
    size_t before = RegistryCount();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([t] {
            // Every thread works on its own block and on one shared block;
            // its own one also forces the index to grow and shrink runs.
            for (int i = 0; i < rounds; i++) {
                BlockRecord own = Heap(blocks[t], 4), shared = Heap(blocks[0] + 1, 3);
                EXPECT_EQ(RegistryAdd(&own), kRegistryAdded);
                EXPECT_NE(RegistryAdd(&shared), kRegistryNoMemory);
                RegistryIncref(blocks[t]);
                EXPECT_FALSE(RegistryDelete(blocks[t]));
                BlockRecord released;
                EXPECT_TRUE(RegistryDelete(blocks[t], &released));
                EXPECT_EQ(released.length, 4u);
                RegistryDelete(blocks[0] + 1);
            }
        });
    }
    for (std::thread &t : pool) t.join();
    EXPECT_EQ(RegistryCount(), before);
    EXPECT_FALSE(RegistryKnows(blocks[0] + 1));
}

// The library's index against a plain map, through growth and through
// deletions that shift whole runs of colliding records back: every
// address is found with the record it was registered with, until its last
// reference goes, and never after.
TEST(Registry, IndexAgreesWithAMapThroughGrowthAndDeletion) {
    struct Model {
        int32_t refs;
        uint32_t length;
    };
    std::map<uintptr_t, Model> model;
    size_t before = RegistryCount();
    // Never dereferenced; strides that share low bits collide in a naive
    // hash, and the high base keeps clear of real heap blocks.
    const uintptr_t base = static_cast<uintptr_t>(0x7F000000u);
    const uintptr_t strides[] = {16, 4096, 1u << 20};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int step = 0; step < 60000; step++) {
        uint32_t r = next();
        uintptr_t key = base + strides[r % 3] * ((r >> 8) % 700);
        void *address = reinterpret_cast<void *>(key);
        auto known = model.find(key);
        switch ((r >> 24) % 4) {
        case 0:
        case 1: {  // growth outpaces deletion early, then they balance
            if (step > 30000 && known == model.end() && (r >> 20) % 2) break;
            BlockRecord record = Heap(address, r % 1000);
            RegistryResult result = RegistryAdd(&record);
            if (known == model.end()) {
                ASSERT_EQ(result, kRegistryAdded);
                model[key] = Model{1, record.length};
            } else {
                ASSERT_EQ(result, kRegistryShared);
                known->second.refs++;
            }
            break;
        }
        case 2:
            RegistryIncref(address);
            if (known != model.end()) known->second.refs++;
            break;
        default: {
            BlockRecord released;
            bool last = RegistryDelete(address, &released);
            bool expected_last = known != model.end() && known->second.refs == 1;
            ASSERT_EQ(last, expected_last) << std::hex << key;
            if (expected_last) {
                EXPECT_EQ(released.length, known->second.length);
                model.erase(known);
            } else if (known != model.end()) {
                known->second.refs--;
            }
        }
        }
        if (step % 5000 == 0 || step == 59999) {
            ASSERT_EQ(RegistryCount() - before, model.size());
            for (const auto &entry : model) {
                BlockRecord record;
                ASSERT_TRUE(RegistryLookup(reinterpret_cast<void *>(entry.first), &record)) << std::hex << entry.first;
                EXPECT_EQ(record.length, entry.second.length);
                EXPECT_EQ(record.refcount, entry.second.refs);
            }
        }
    }
    for (const auto &entry : model)
        for (int32_t i = 0; i < entry.second.refs; i++) RegistryDelete(reinterpret_cast<void *>(entry.first));
    EXPECT_EQ(RegistryCount(), before);
    EXPECT_FALSE(RegistryKnows(nullptr));
}
