package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertEquals;

/** Assertions on Cryptoki results that name the codes when they fail. */
final class Rv {
    private Rv() {
    }

    static void expect(long expected, long actual, String what) {
        assertEquals(Ck.rv(expected), Ck.rv(actual), what);
    }

    static void ok(long actual, String what) {
        expect(Ck.CKR_OK, actual, what);
    }
}
