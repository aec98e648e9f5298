package Orvalith.Test;

import static Orvalith.Test.Ck.attr;
import static Orvalith.Test.Ck.ulongAttr;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck.Template;
import java.io.ByteArrayInputStream;
import java.security.GeneralSecurityException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Token modules of the system that need no set-up: the trust store and the smart card module. */
class SystemModulesTest {
    private static long[] slots(long module, boolean tokenPresent) {
        long[] count = {0};
        Rv.ok(JNI.c_GetSlotList(module, tokenPresent, null, count), "slot count");
        Pointer list = Ck.ulongs((int) count[0]);
        try {
            Rv.ok(JNI.c_GetSlotList(module, tokenPresent, list, count), "slot list");
            return Ck.ulongs(list, count[0]);
        } finally {
            list.free();
        }
    }

    private static byte[] attribute(long module, long session, long object, long type) {
        return Attributes.read(module, session, object, type);
    }

    @Test
    void theTrustModuleListsCertificatesThatTheJdkCanParse() throws GeneralSecurityException {
        long module = JNI.loadExternalModule(Paths.module("orvjni.module.p11kit_trust"));
        assertNotEquals(0, module);
        try {
            Rv.ok(JNI.c_Initialize(module, null), "c_Initialize");
            long[] all = slots(module, true);
            assertTrue(all.length >= 1, "a slot for each trust source");

            int certificates = 0;
            List<String> subjects = new ArrayList<>();
            for (long slot : all) {
                long[] cell = {0};
                Rv.ok(JNI.c_OpenSession(module, slot, Ck.CKF_SERIAL_SESSION, null, null, cell), "c_OpenSession");
                long session = cell[0];
                try (Template t = new Template(ulongAttr(Ck.CKA_CLASS, Ck.CKO_CERTIFICATE),
                        ulongAttr(Ck.CKA_CERTIFICATE_TYPE, Ck.CKC_X_509), attr(Ck.CKA_TOKEN, true))) {
                    Rv.ok(JNI.c_FindObjectsInit(module, session, t.block, t.count()), "c_FindObjectsInit");
                }
                Pointer found = Ck.ulongs(64);
                List<Long> handles = new ArrayList<>();
                try {
                    long[] count = {0};
                    do {
                        Rv.ok(JNI.c_FindObjects(module, session, found, 64, count), "c_FindObjects");
                        for (long h : Ck.ulongs(found, count[0])) {
                            handles.add(h);
                        }
                    } while (count[0] > 0);
                } finally {
                    found.free();
                    Rv.ok(JNI.c_FindObjectsFinal(module, session), "c_FindObjectsFinal");
                }
                certificates += handles.size();
                // A few of each slot through the JDK's parser.
                for (long h : handles.subList(0, Math.min(3, handles.size()))) {
                    X509Certificate cert = (X509Certificate) CertificateFactory.getInstance("X.509")
                            .generateCertificate(new ByteArrayInputStream(attribute(module, session, h, Ck.CKA_VALUE)));
                    subjects.add(cert.getSubjectX500Principal().getName());
                    assertTrue(attribute(module, session, h, Ck.CKA_LABEL).length > 0, "a label");
                }
                Rv.ok(JNI.c_CloseSession(module, session), "c_CloseSession");
            }
            assertTrue(certificates > 0, "the system's trust store holds certificates");
            System.out.println(certificates + " certificates, for instance " + subjects);
            Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize");
        } finally {
            JNI.unloadExternalModule(module);
        }
    }

    /**
     * With no card reader the smart card module has no token to show.  It may
     * answer with slots that have no token, with none, or with an error:
     * whatever it answers comes back through the bridge without a crash.
     */
    @Test
    void theSmartCardModuleWithoutAReaderAnswersWithoutACrash() {
        long module = JNI.loadExternalModule(Paths.module("orvjni.module.opensc"));
        assertNotEquals(0, module);
        try {
            long rv = JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, Ck.CKF_OS_LOCKING_OK, 0));
            System.out.println("smart card module: c_Initialize " + Ck.rv(rv));
            if (rv != Ck.CKR_OK) {
                return;
            }
            long[] count = {-1};
            long listed = JNI.c_GetSlotList(module, true, null, count);
            System.out.println("smart card module: c_GetSlotList " + Ck.rv(listed) + ", " + count[0]
                    + " slots with a token");
            if (listed == Ck.CKR_OK) {
                assertEquals(0, count[0], "no reader, so no token");
            }
            long[] any = {-1};
            System.out.println("smart card module: all slots " + Ck.rv(JNI.c_GetSlotList(module, false, null, any))
                    + ", " + any[0]);
            Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize");
        } finally {
            JNI.unloadExternalModule(module);
        }
    }
}
