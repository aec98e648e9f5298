package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import Orvalith.Base.JNI.Pointer;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.Test;

/**
 * Many Java threads share blocks through addReference and free at once.
 * Each block must be released exactly once: by the free that drops its
 * last reference, which is the only one that clears its Pointer.  A block
 * released twice ends the process (the allocator catches the double free),
 * one never released leaves every holder live.
 */
class PointerStressTest {
    static final int THREADS = 8;
    static final int BLOCKS = 64;
    static final int ROUNDS = 25;

    @Test
    void sharedBlocksAreReleasedExactlyOnce() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        try {
            for (int round = 0; round < ROUNDS; round++) {
                // holders[b][t]: thread t's Pointer for block b.  Blocks
                // alternate between the heap and pinned arrays.
                Pointer[][] holders = new Pointer[BLOCKS][THREADS];
                long[] addresses = new long[BLOCKS];
                for (int b = 0; b < BLOCKS; b++) {
                    Pointer first = b % 2 == 0 ? Pointer.getInstance(32) : Pointer.getInstance(new int[8]);
                    addresses[b] = first.p;
                    holders[b][0] = first;
                    for (int t = 1; t < THREADS; t++) {
                        holders[b][t] = new Pointer(first.p, first.o, first.size);
                    }
                }
                final int seed = round;
                runAll(pool, t -> {
                    // Unrelated blocks come and go meanwhile, so the registry
                    // keeps changing shape under the shared ones.
                    Pointer scratch = Pointer.getInstance(16);
                    for (int b = 0; b < BLOCKS; b++) {
                        if (t > 0) {
                            holders[b][t].addReference();
                        }
                    }
                    scratch.free();
                    return null;
                });
                runAll(pool, t -> {
                    List<Integer> order = new ArrayList<>();
                    for (int b = 0; b < BLOCKS; b++) {
                        order.add(b);
                    }
                    Collections.shuffle(order, new Random(seed * 31L + t));
                    for (int b : order) {
                        Pointer scratch = Pointer.getInstance(new byte[4]);
                        holders[b][t].free();
                        scratch.free();
                    }
                    return null;
                });
                for (int b = 0; b < BLOCKS; b++) {
                    int released = 0;
                    for (Pointer h : holders[b]) {
                        if (h.p == 0 && h.size == -1) {
                            released++;
                        } else {
                            assertEquals(addresses[b], h.p, "a holder that did not release keeps its fields");
                        }
                    }
                    assertEquals(1, released, "round " + round + ", block " + b + ": holders that released it");
                }
            }
        } finally {
            pool.shutdownNow();
        }
    }

    interface PerThread {
        Void run(int thread) throws Exception;
    }

    static void runAll(ExecutorService pool, PerThread work) throws Exception {
        List<Future<Void>> done = new ArrayList<>();
        for (int t = 0; t < THREADS; t++) {
            final int thread = t;
            Callable<Void> c = () -> work.run(thread);
            done.add(pool.submit(c));
        }
        for (Future<Void> f : done) {
            f.get();
        }
    }
}
