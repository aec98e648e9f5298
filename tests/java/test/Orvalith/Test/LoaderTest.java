package Orvalith.Test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Opening token modules and building their function tables. */
class LoaderTest {
    private static final int RECORD_LIBRARY = 0, RECORD_TABLE = 1, RECORD_OWNED = 2;

    @Test
    void takesTheModulesOwnTableFromGetFunctionList() {
        try (Mock mock = Mock.open(Paths.mock("orvjni.mock"))) {
            mock.reset();
            long module = JNI.loadExternalModule(mock.path());
            assertNotEquals(0, module);
            try {
                long[] record = Native.moduleRecord(module);
                assertNotEquals(0, record[RECORD_LIBRARY]);
                assertEquals(mock.table(), record[RECORD_TABLE], "the module's own table");
                assertEquals(0, record[RECORD_OWNED], "a table that the module owns");
            } finally {
                JNI.unloadExternalModule(module);
            }
            // Unloading left the module's table alone (releasing it would
            // have ended the process): it still holds version 2.40.
            assertArrayEquals(new byte[] {2, 40}, Native.peek(mock.table(), 2));
            for (int i = 0; i < mock.recordCount(); i++) {
                assertEquals(Cryptoki.C_GetFunctionList, mock.record(i).entry,
                        "the loader calls nothing but C_GetFunctionList: " + mock.record(i));
            }
        }
    }

    /** Without a usable C_GetFunctionList every entry but that one is looked up by name. */
    @ParameterizedTest
    @ValueSource(strings = {"orvjni.mock.gfl_error", "orvjni.mock.no_gfl"})
    void buildsItsOwnTableByName(String property) {
        String path = Paths.mock(property);
        long module = JNI.loadExternalModule(path);
        assertNotEquals(0, module);
        try {
            long[] record = Native.moduleRecord(module);
            long table = record[RECORD_TABLE];
            assertEquals(1, record[RECORD_OWNED], "a table that the bridge owns");
            assertNotEquals(0, table);
            assertNotEquals(Mock.BOGUS_TABLE, table, "what a failing C_GetFunctionList left behind");
            for (int entry = 0; entry < Cryptoki.ENTRY_NAMES.size(); entry++) {
                if (entry == Cryptoki.C_GetFunctionList) {
                    continue;
                }
                String name = Cryptoki.ENTRY_NAMES.get(entry);
                long expected = Native.loadedSymbol(path, name);
                assertNotEquals(0, expected, name);
                assertEquals(expected, Native.tableEntry(table, entry), name + " at entry " + entry);
            }
        } finally {
            JNI.unloadExternalModule(module);
        }
    }

    @Test
    void aModuleMissingOneNameIsNotLoadedAndIsClosedAgain() {
        String path = Paths.mock("orvjni.mock.no_wait");
        assertFalse(Paths.mapped(path), "mapped before the test");
        assertEquals(0, JNI.loadExternalModule(path));
        assertFalse(Paths.mapped(path), "still mapped after the failed load");
    }

    @Test
    void eachLoadIsItsOwnHandleAndTheLastUnloadClosesTheLibrary() {
        String path = Paths.mock("orvjni.mock.no_gfl");
        long first = JNI.loadExternalModule(path);
        long second = JNI.loadExternalModule(path);
        assertNotEquals(0, first);
        assertNotEquals(0, second);
        assertNotEquals(first, second);
        assertNotEquals(Native.moduleRecord(first)[RECORD_TABLE], Native.moduleRecord(second)[RECORD_TABLE]);
        JNI.unloadExternalModule(first);
        assertTrue(Native.isLoaded(path), "the second handle keeps the library open");
        JNI.unloadExternalModule(second);
        assertFalse(Native.isLoaded(path));
        assertFalse(Paths.mapped(path));
    }

    @ParameterizedTest
    @ValueSource(strings = {"orvjni.module.softhsm2", "orvjni.module.softokn", "orvjni.module.p11kit_trust",
            "orvjni.module.opensc"})
    void systemModulesLoadAndUnload(String property) {
        String path = Paths.module(property);
        long module = JNI.loadExternalModule(path);
        assertNotEquals(0, module, path);
        try {
            long[] record = Native.moduleRecord(module);
            assertEquals(0, record[RECORD_OWNED]);
            assertEquals(Native.moduleOwnTable(path), record[RECORD_TABLE]);
        } finally {
            JNI.unloadExternalModule(module);
        }
    }

    @Test
    void aMissingFileGivesNoModule() {
        assertEquals(0, JNI.loadExternalModule("/nonexistent/libnomodule.so"));
    }

    /** A null path opens the program itself, which exports no Cryptoki names. */
    @Test
    void aNullPathGivesNoModuleInAJavaProcess() {
        assertEquals(0, JNI.loadExternalModule(null));
    }

    @Test
    void unloadingNoModuleDoesNothing() {
        JNI.unloadExternalModule(0);
    }
}
