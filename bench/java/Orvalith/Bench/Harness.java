package Orvalith.Bench;

import java.util.Arrays;

/**
 * Times one piece of work the same way in every route: a warm-up that also
 * fixes how many operations one run holds, then a series of timed runs.
 * Each run gives one figure, nanoseconds per operation; a route prints, per
 * operation, the least, the median and the greatest of those figures.
 *
 * Knobs, all environment variables so that one script sets them for every
 * route (the C floor reads the same ones):
 *   BENCH_WARMUP_MS  warm-up per operation (default 300)
 *   BENCH_RUN_MS     length of one timed run (default 100)
 *   BENCH_RUNS       timed runs per operation (default 5)
 *
 * Output is one tab-separated line per operation:
 *   route  op  min  median  max  operations-per-run  every-run,comma-separated
 * (the report pools the runs of several rounds of the same route).
 */
public final class Harness {
    /** One operation of the workload; it throws when the token answers anything but CKR_OK. */
    public interface Work {
        void run() throws Exception;
    }

    /** The operations every route measures, by the key that the report knows them by. */
    public static final String SESSION_INFO = "session_info", RANDOM_32 = "random_32", DIGEST_64 = "digest_64",
            DIGEST_1M = "digest_1m", SIGN = "sign_ecdsa", FIND = "find_objects";

    /** Size of the large digest input. */
    public static final int MIB = 1 << 20;

    /** Whatever a result leaves here keeps the JIT from dropping the work that made it. */
    public static volatile long sink;

    private final String route;
    private final long warmupNanos = env("BENCH_WARMUP_MS", 300) * 1_000_000L;
    private final long runNanos = env("BENCH_RUN_MS", 100) * 1_000_000L;
    private final int runs = (int) Math.max(1, env("BENCH_RUNS", 5));

    public Harness(String route) {
        this.route = route;
    }

    private static long env(String name, long fallback) {
        String v = System.getenv(name);
        if (v == null || v.isEmpty()) {
            return fallback;
        }
        return Long.parseLong(v.trim());
    }

    public void measure(String op, Work work) throws Exception {
        // Warm-up: long enough for the JIT to settle, and it tells the rate.
        long done = 0;
        long start = System.nanoTime();
        long elapsed;
        do {
            work.run();
            done++;
            elapsed = System.nanoTime() - start;
        } while (elapsed < warmupNanos || done < 3);
        long perRun = Math.max(1, (long) ((double) runNanos * done / elapsed));

        double[] nsPerOp = new double[runs];
        for (int r = 0; r < runs; r++) {
            long t0 = System.nanoTime();
            for (long i = 0; i < perRun; i++) {
                work.run();
            }
            nsPerOp[r] = (double) (System.nanoTime() - t0) / perRun;
        }
        StringBuilder all = new StringBuilder();
        for (double ns : nsPerOp) {
            all.append(all.length() == 0 ? "" : ",").append(String.format(java.util.Locale.ROOT, "%.1f", ns));
        }
        Arrays.sort(nsPerOp);
        System.out.printf(java.util.Locale.ROOT, "%s\t%s\t%.1f\t%.1f\t%.1f\t%d\t%s%n", route, op, nsPerOp[0],
                nsPerOp[runs / 2], nsPerOp[runs - 1], perRun, all);
        System.out.flush();
    }

    /** A Cryptoki result other than CKR_OK ends the route: a benchmark of failures measures nothing. */
    public static void ok(String what, long rv) {
        if (rv != 0) {
            throw new IllegalStateException(what + " answered 0x" + Long.toHexString(rv));
        }
    }

    /** The arguments every route takes: module path, slot ID, user PIN. */
    public record Args(String module, long slot, String pin) {
        public static Args parse(String[] a) {
            if (a.length != 3) {
                System.err.println("usage: ROUTE MODULE SLOT PIN");
                System.exit(2);
            }
            return new Args(a[0], Long.parseLong(a[1]), a[2]);
        }
    }

    // What the token holds, made by Setup and looked for by every route.
    public static final String KEY_LABEL = "bench-ec";
    public static final String FIND_LABEL = "bench-find";
    /** How many data objects carry FIND_LABEL; the find work collects them all. */
    public static final int FIND_OBJECTS = 8;
    /** Room in the handle array of one C_FindObjects: more than FIND_OBJECTS. */
    public static final int FIND_ROOM = 16;

    /** The inputs: 64 bytes and 1 MiB of data to digest, a 32-byte hash to sign. */
    public static byte[] data(int length) {
        byte[] b = new byte[length];
        for (int i = 0; i < length; i++) {
            b[i] = (byte) (i * 31 + 7);
        }
        return b;
    }
}
