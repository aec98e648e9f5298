// The block registry: list order, reference counts, unlinking, and the
// library registry's lock under many threads.
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

TEST(Registry, ConcurrentAddAndDeleteNeverLoseOrDoubleANode) {
    if (!ThreadsWork()) return;  // see ThreadsWork
    const int threads = 8, rounds = 2000;
    static char blocks[threads][4];
    int before = RegistryList()->count;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([t] {
            // Every thread works on its own block and on one shared block.
            for (int i = 0; i < rounds; i++) {
                EXPECT_TRUE(RegistryAdd(blocks[t], BlockFacts{4, 0}));
                EXPECT_TRUE(RegistryAdd(blocks[0] + 1, BlockFacts{3, 1}));
                RegistryIncref(blocks[t]);
                EXPECT_FALSE(RegistryDelete(blocks[t]));
                EXPECT_TRUE(RegistryDelete(blocks[t]));
                RegistryDelete(blocks[0] + 1);
            }
        });
    }
    for (std::thread &t : pool) t.join();
    EXPECT_EQ(RegistryList()->count, before);
    EXPECT_FALSE(RegistryKnows(blocks[0] + 1));
}
