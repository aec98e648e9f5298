package Orvalith.Bench;

import Orvalith.Base.JNI.Pointer;
import java.util.ArrayList;
import java.util.List;

/**
 * What the block registry costs as it fills: getInstance(int) + free with
 * 10, 1,000 and 100,000 other blocks live, Pointer.copy into a block at the
 * same three sizes (copy asks the registry whether it made the destination),
 * and getInstance(byte[]) + free for a 64-byte and a 1 MiB array.  Prints
 * the harness's lines, ns per pair, and how long filling the registry took.
 *
 *   RegistryBench ROUTE-NAME
 */
public final class RegistryBench {
    public static void main(String[] a) throws Exception {
        Harness h = new Harness(a[0]);
        List<Pointer> live = new ArrayList<>();
        byte[] small = Harness.data(64);
        Pointer target = Pointer.getInstance(64);
        for (int others : new int[] {10, 1_000, 100_000}) {
            long t0 = System.nanoTime();
            while (live.size() < others) {
                live.add(Pointer.getInstance(16));
            }
            double fill = (System.nanoTime() - t0) / 1e6;
            System.out.printf("%s\tfill_to_%d\t%.1f ms%n", a[0], others, fill);

            h.measure("alloc_free_" + others, () -> Pointer.getInstance(64).free());
            h.measure("copy64_" + others, () -> Pointer.copy(small, 0, target, 0, small.length));
            if (others == 10) {
                byte[] big = Harness.data(Harness.MIB);
                h.measure("array_64", () -> Pointer.getInstance(small).free());
                h.measure("array_1m", () -> Pointer.getInstance(big).free());
            }
        }
        live.forEach(Pointer::free);
        target.free();
    }
}
