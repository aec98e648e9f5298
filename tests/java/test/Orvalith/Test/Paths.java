package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.File;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;

/** Files that the build passes in as system properties. */
final class Paths {
    private Paths() {
    }

    /** A test module variant, e.g. "orvjni.mock.no_gfl"; skips when the build has none. */
    static String mock(String property) {
        String path = System.getProperty(property);
        assumeTrue(path != null && !path.isEmpty(), "the build provides no " + property);
        return path;
    }

    /** A token module of the system, e.g. "orvjni.module.softhsm2"; fails when it is not installed. */
    static String module(String property) {
        String path = System.getProperty(property);
        assertTrue(path != null && !path.isEmpty(), "the build passes no " + property);
        assertTrue(new File(path).isFile(), property + ": " + path + " is not installed");
        return path;
    }

    /** Whether the process maps the file (by its real path, as the loader maps it). */
    static boolean mapped(String path) {
        try {
            String real = Path.of(path).toRealPath().toString();
            return Files.readAllLines(Path.of("/proc/self/maps")).stream().anyMatch(l -> l.endsWith(" " + real));
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }
}
