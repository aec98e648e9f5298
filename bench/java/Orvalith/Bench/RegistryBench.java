package Orvalith.Bench;

import Orvalith.Base.JNI.Pointer;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * What the block registry costs as it fills: getInstance(int) + free with
 * 10, 1,000, 100,000 and 1,000,000 other blocks live, Pointer.copy into a
 * block at the same sizes (copy asks the registry whether it made the
 * destination), and getInstance(byte[]) + free for a 64-byte and a 1 MiB
 * array.  Prints the harness's lines, ns per pair, how long filling the
 * registry took (cumulative), and the process's resident memory per live
 * block once a million are live.
 *
 * The resident figure is only the native side's when the Java heap does
 * not grow meanwhile: run with -Xms equal to -Xmx and -XX:+AlwaysPreTouch.
 *
 *   RegistryBench ROUTE-NAME
 */
public final class RegistryBench {
    static final int[] LIVE = {10, 1_000, 100_000, 1_000_000};

    public static void main(String[] a) throws Exception {
        Harness h = new Harness(a[0]);
        List<Pointer> live = new ArrayList<>(LIVE[LIVE.length - 1]);
        byte[] small = Harness.data(64);
        Pointer target = Pointer.getInstance(64);
        long fillNanos = 0;
        long rssBefore = residentBytes();
        for (int others : LIVE) {
            long t0 = System.nanoTime();
            while (live.size() < others) {
                live.add(Pointer.getInstance(16));
            }
            fillNanos += System.nanoTime() - t0;
            System.out.printf("%s\tfill_to_%d\t%.1f ms%n", a[0], others, fillNanos / 1e6);

            h.measure("alloc_free_" + others, () -> Pointer.getInstance(64).free());
            h.measure("copy64_" + others, () -> Pointer.copy(small, 0, target, 0, small.length));
            if (others == LIVE[0]) {
                byte[] big = Harness.data(Harness.MIB);
                h.measure("array_64", () -> Pointer.getInstance(small).free());
                h.measure("array_1m", () -> Pointer.getInstance(big).free());
            }
        }
        long grown = residentBytes() - rssBefore;
        System.out.printf("%s\trss_per_block\t%.1f bytes over %d blocks%n", a[0], (double) grown / live.size(),
                live.size());
        live.forEach(Pointer::free);
        target.free();
    }

    /** VmRSS of /proc/self/status, in bytes. */
    static long residentBytes() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return 1024 * Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IOException("no VmRSS in /proc/self/status");
    }
}
