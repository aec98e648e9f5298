package Orvalith.Bench;

import Orvalith.Base.JNI;

/**
 * The careful route's cheapest operation, C_GetSessionInfo and reading the
 * record back, in a JIT-compiled loop for a sampling profiler to watch:
 * warm-up first, then SECONDS of nothing else.
 *
 *   ProfileLoop MODULE SLOT PIN SECONDS
 */
public final class ProfileLoop {
    public static void main(String[] a) {
        ProfileSetup.open(a[0], Long.parseLong(a[1]), a[2]);
        long module = ProfileSetup.module, session = ProfileSetup.session;
        JNI.Pointer info = ProfileSetup.info;
        long until = System.nanoTime() + (long) (Double.parseDouble(a[3]) * 1e9);
        long n = 0;
        while (System.nanoTime() < until) {
            for (int i = 0; i < 1000; i++) {
                Harness.ok("C_GetSessionInfo", JNI.c_GetSessionInfo(module, session, info));
                Harness.sink += info.getContent()[0];
            }
            n += 1000;
        }
        System.out.println("pid " + ProcessHandle.current().pid() + " calls " + n);
    }
}
