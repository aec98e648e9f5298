package Orvalith.Test;

import static Orvalith.Test.Ck.attr;
import static Orvalith.Test.Ck.buffer;
import static Orvalith.Test.Ck.ulongAttr;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck.Mechanism;
import Orvalith.Test.Ck.Template;
import java.io.IOException;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.AlgorithmParameters;
import java.security.GeneralSecurityException;
import java.security.Key;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.ECGenParameterSpec;
import java.security.spec.ECParameterSpec;
import java.security.spec.ECPoint;
import java.security.spec.ECPublicKeySpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.Arrays;
import java.util.Comparator;
import java.util.HexFormat;
import java.util.List;
import java.util.stream.LongStream;
import java.util.stream.Stream;
import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * A software token driven end to end through the bridge, each family of
 * Cryptoki calls at least once, with the JDK checking what it can: the
 * token is made afresh for every run in the folder that SOFTHSM2_CONF
 * names (the test writes that configuration itself).
 */
class SoftHsmTest {
    static final String SO_PIN = "10293847", USER_PIN = "5647382910", LABEL = "orvjni java suite";
    /** The DER encoding of the P-256 curve's object identifier. */
    static final byte[] P256 = HexFormat.of().parseHex("06082a8648ce3d030107");

    static long module;
    static long slot;
    static long session;
    static final Object APPLICATION = new Object();

    /** A fresh token folder and a configuration that points at it. */
    static void freshTokenFolder() throws IOException {
        String conf = System.getenv("SOFTHSM2_CONF");
        assertNotNull(conf, "SOFTHSM2_CONF names the configuration file to write (the build sets it)");
        Path file = Path.of(conf).toAbsolutePath();
        Path tokens = file.resolveSibling("tokens");
        if (Files.exists(tokens)) {
            try (Stream<Path> all = Files.walk(tokens)) {
                for (Path p : all.sorted(Comparator.reverseOrder()).toList()) {
                    Files.delete(p);
                }
            }
        }
        Files.createDirectories(tokens);
        Files.writeString(file, "directories.tokendir = " + tokens + "\nobjectstore.backend = file\n"
                + "log.level = ERROR\nslots.removable = false\n");
    }

    static long[] slots(boolean tokenPresent) {
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

    static Ck.TokenInfo tokenInfo(long slotID) {
        Pointer info = Pointer.getInstance(Ck.TokenInfo.SIZE);
        try {
            Rv.ok(JNI.c_GetTokenInfo(module, slotID, info), "c_GetTokenInfo");
            return Ck.TokenInfo.read(info);
        } finally {
            info.free();
        }
    }

    static long login(long userType, String pin) {
        Pointer p = Ck.block(pin);
        try {
            return JNI.c_Login(module, session, userType, p, pin.length());
        } finally {
            p.free();
        }
    }

    /** Counts the notifications the token sends (it sends none in practice). */
    public static final class Notifications {
        int count;

        public long callback(long session, long event, Object application) {
            count++;
            return Ck.CKR_OK;
        }
    }

    @BeforeAll
    static void makeTheToken() throws IOException {
        freshTokenFolder();
        module = JNI.loadExternalModule(Paths.module("orvjni.module.softhsm2"));
        assertNotEquals(0, module);
        Rv.ok(JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0)), "initialise with mutexes");

        long[] all = slots(false);
        assertTrue(all.length >= 1, "a free slot");
        slot = all[0];
        assertEquals(0, tokenInfo(slot).flags() & Ck.CKF_TOKEN_INITIALIZED, "a fresh token");

        Pointer soPin = Ck.block(SO_PIN);
        Pointer label = Ck.block(Ck.padded(LABEL, 32));
        Pointer userPin = Ck.block(USER_PIN);
        try {
            Rv.ok(JNI.c_InitToken(module, slot, soPin, SO_PIN.length(), label), "c_InitToken");
            long[] cell = {0};
            Rv.ok(JNI.c_OpenSession(module, slot, Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION, null, null, cell),
                    "SO session");
            session = cell[0];
            Rv.ok(login(Ck.CKU_SO, SO_PIN), "SO login");
            Rv.ok(JNI.c_InitPIN(module, session, userPin, USER_PIN.length()), "c_InitPIN");
            Rv.ok(JNI.c_Logout(module, session), "SO logout");
            Rv.ok(JNI.c_CloseSession(module, session), "close the SO session");
        } finally {
            soPin.free();
            label.free();
            userPin.free();
        }

        long[] cell = {0};
        Rv.ok(JNI.c_OpenSession(module, slot, Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION, APPLICATION,
                new Notifications(), cell), "user session");
        session = cell[0];
        Rv.ok(login(Ck.CKU_USER, USER_PIN), "user login");
    }

    @AfterAll
    static void closeTheToken() {
        if (module == 0) {
            return;
        }
        try {
            Rv.ok(JNI.c_Logout(module, session), "c_Logout");
            Rv.ok(JNI.c_CloseSession(module, session), "c_CloseSession");
            Rv.ok(JNI.c_Finalize(module, 0), "c_Finalize");
        } finally {
            JNI.unloadExternalModule(module);
            module = 0;
        }
    }

    // Helpers over the session.

    static long createObject(Ck.Attr... attrs) {
        try (Template t = new Template(attrs)) {
            long[] handle = {-1};
            Rv.ok(JNI.c_CreateObject(module, session, t.block, t.count(), handle), "c_CreateObject");
            assertNotEquals(0, handle[0]);
            return handle[0];
        }
    }

    static long[] findObjects(Ck.Attr... attrs) {
        try (Template t = new Template(attrs)) {
            Rv.ok(JNI.c_FindObjectsInit(module, session, t.block, t.count()), "c_FindObjectsInit");
        }
        Pointer handles = Ck.ulongs(2);
        LongStream.Builder found = LongStream.builder();
        try {
            long[] count = {0};
            do {
                Rv.ok(JNI.c_FindObjects(module, session, handles, 2, count), "c_FindObjects");
                Arrays.stream(Ck.ulongs(handles, count[0])).forEach(found);
            } while (count[0] == 2);
        } finally {
            handles.free();
            Rv.ok(JNI.c_FindObjectsFinal(module, session), "c_FindObjectsFinal");
        }
        return found.build().toArray();
    }

    /** An attribute's value by the two-step Cryptoki way: its length, then the value. */
    static byte[] attribute(long object, long type) {
        return Attributes.read(module, session, object, type);
    }

    /** Runs a single-part operation (data in, data out) with the Cryptoki length query first. */
    interface Single {
        long run(Pointer in, long inLength, Pointer out, long[] outLength);
    }

    static byte[] singlePart(Single op, byte[] input, String what) {
        Pointer in = Ck.block(input);
        try {
            long[] length = {0};
            Rv.ok(op.run(in, input.length, null, length), what + ": length query");
            assertTrue(length[0] > 0, what + ": a length");
            Pointer out = Pointer.getInstance((int) length[0]);
            try {
                Rv.ok(op.run(in, input.length, out, length), what);
                return Ck.read(out, 0, (int) length[0]);
            } finally {
                out.free();
            }
        } finally {
            in.free();
        }
    }

    /** Update with each part (data in, data out), then the final: the outputs joined. */
    interface Final {
        long run(Pointer out, long[] outLength);
    }

    static byte[] multiPart(Single update, Final last, List<byte[]> parts) {
        java.io.ByteArrayOutputStream all = new java.io.ByteArrayOutputStream();
        Pointer out = Pointer.getInstance(256);
        try {
            for (byte[] part : parts) {
                Pointer in = Ck.block(part);
                try {
                    long[] length = {256};
                    Rv.ok(update.run(in, part.length, out, length), "update");
                    all.writeBytes(Ck.read(out, 0, (int) length[0]));
                } finally {
                    in.free();
                }
            }
            long[] length = {256};
            Rv.ok(last.run(out, length), "final");
            all.writeBytes(Ck.read(out, 0, (int) length[0]));
            return all.toByteArray();
        } finally {
            out.free();
        }
    }

    static long[] keyPair(long mechanism, Ck.Attr[] pub, Ck.Attr[] priv) {
        try (Mechanism m = Mechanism.of(mechanism); Template p = new Template(pub); Template s = new Template(priv)) {
            long[] pubKey = {-1}, privKey = {-1};
            Rv.ok(JNI.c_GenerateKeyPair(module, session, m.block, p.block, p.count(), s.block, s.count(), pubKey,
                    privKey), "c_GenerateKeyPair");
            assertNotEquals(0, pubKey[0]);
            assertNotEquals(0, privKey[0]);
            assertNotEquals(pubKey[0], privKey[0]);
            return new long[] {pubKey[0], privKey[0]};
        }
    }

    static long[] ecKeyPair() {
        return keyPair(Ck.CKM_EC_KEY_PAIR_GEN,
                new Ck.Attr[] {attr(Ck.CKA_EC_PARAMS, P256), attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_VERIFY, true)},
                new Ck.Attr[] {attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_PRIVATE, true), attr(Ck.CKA_SENSITIVE, true),
                    attr(Ck.CKA_SIGN, true), attr(Ck.CKA_DERIVE, true)});
    }

    /** The uncompressed point of an EC public key, unwrapped from its DER OCTET STRING. */
    static byte[] ecPoint(long publicKey) {
        byte[] der = attribute(publicKey, Ck.CKA_EC_POINT);
        assertEquals(0x04, der[0], "an OCTET STRING");
        assertEquals(der.length - 2, der[1]);
        byte[] point = Arrays.copyOfRange(der, 2, der.length);
        assertEquals(65, point.length);
        assertEquals(0x04, point[0], "uncompressed");
        return point;
    }

    static PublicKey jdkEcKey(byte[] point) throws GeneralSecurityException {
        AlgorithmParameters params = AlgorithmParameters.getInstance("EC");
        params.init(new ECGenParameterSpec("secp256r1"));
        ECPoint w = new ECPoint(new BigInteger(1, Arrays.copyOfRange(point, 1, 33)),
                new BigInteger(1, Arrays.copyOfRange(point, 33, 65)));
        return KeyFactory.getInstance("EC").generatePublic(
                new ECPublicKeySpec(w, params.getParameterSpec(ECParameterSpec.class)));
    }

    static byte[] digest(byte[] data) {
        try (Mechanism sha = Mechanism.of(Ck.CKM_SHA256)) {
            Rv.ok(JNI.c_DigestInit(module, session, sha.block), "c_DigestInit");
        }
        return singlePart((in, n, out, len) -> JNI.c_Digest(module, session, in, n, out, len), data, "c_Digest");
    }

    static long verify(long mechanism, long key, byte[] data, byte[] signature) {
        try (Mechanism m = Mechanism.of(mechanism)) {
            Rv.ok(JNI.c_VerifyInit(module, session, m.block, key), "c_VerifyInit");
        }
        Pointer d = Ck.block(data), s = Ck.block(signature);
        try {
            return JNI.c_Verify(module, session, d, data.length, s, signature.length);
        } finally {
            d.free();
            s.free();
        }
    }

    // The tests.

    @Test
    void libraryTokenSlotAndSessionInfo() {
        Pointer info = Pointer.getInstance(Ck.Info.SIZE);
        Pointer slotInfo = Pointer.getInstance(Ck.SlotInfo.SIZE);
        Pointer sessionInfo = Pointer.getInstance(Ck.SessionInfo.SIZE);
        try {
            Rv.ok(JNI.c_GetInfo(module, info), "c_GetInfo");
            Ck.Info i = Ck.Info.read(info);
            assertEquals(2, i.cryptokiMajor());
            assertEquals("SoftHSM", i.manufacturerID());

            Rv.ok(JNI.c_GetSlotInfo(module, slot, slotInfo), "c_GetSlotInfo");
            Ck.SlotInfo s = Ck.SlotInfo.read(slotInfo);
            assertEquals(Ck.CKF_TOKEN_PRESENT, s.flags() & Ck.CKF_TOKEN_PRESENT, s.toString());

            Ck.TokenInfo t = tokenInfo(slot);
            assertEquals(LABEL, t.label());
            long expected = Ck.CKF_TOKEN_INITIALIZED | Ck.CKF_USER_PIN_INITIALIZED | Ck.CKF_LOGIN_REQUIRED | Ck.CKF_RNG;
            assertEquals(expected, t.flags() & expected, t.toString());
            assertTrue(t.minPinLen() <= USER_PIN.length() && USER_PIN.length() <= t.maxPinLen(), t.toString());
            assertTrue(LongStream.of(slots(true)).anyMatch(id -> id == slot), "listed among the slots with a token");

            Rv.ok(JNI.c_GetSessionInfo(module, session, sessionInfo), "c_GetSessionInfo");
            Ck.SessionInfo si = Ck.SessionInfo.read(sessionInfo);
            assertEquals(slot, si.slotID());
            assertEquals(Ck.CKS_RW_USER_FUNCTIONS, si.state());
            assertEquals(Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION, si.flags());
        } finally {
            info.free();
            slotInfo.free();
            sessionInfo.free();
        }
    }

    @Test
    void mechanismListByCountQueryThenList() {
        long[] count = {0};
        Rv.ok(JNI.c_GetMechanismList(module, slot, null, count), "count query with a null list");
        assertTrue(count[0] > 10, "count " + count[0]);
        long all = count[0];

        Pointer list = Ck.ulongs((int) all);
        Pointer info = Pointer.getInstance(Ck.MechanismInfo.SIZE);
        try {
            count[0] = 2;
            Rv.expect(Ck.CKR_BUFFER_TOO_SMALL, JNI.c_GetMechanismList(module, slot, list, count), "room for 2");
            assertEquals(all, count[0], "the count that is needed");

            Rv.ok(JNI.c_GetMechanismList(module, slot, list, count), "the list");
            long[] types = Ck.ulongs(list, count[0]);
            for (long m : new long[] {Ck.CKM_RSA_PKCS_KEY_PAIR_GEN, Ck.CKM_SHA256_RSA_PKCS, Ck.CKM_EC_KEY_PAIR_GEN,
                Ck.CKM_ECDSA, Ck.CKM_ECDH1_DERIVE, Ck.CKM_AES_CBC_PAD, Ck.CKM_AES_KEY_WRAP, Ck.CKM_SHA256}) {
                assertTrue(LongStream.of(types).anyMatch(t -> t == m), "mechanism 0x" + Long.toHexString(m));
            }

            Rv.ok(JNI.c_GetMechanismInfo(module, slot, Ck.CKM_RSA_PKCS_KEY_PAIR_GEN, info), "c_GetMechanismInfo");
            Ck.MechanismInfo mi = Ck.MechanismInfo.read(info);
            assertTrue(mi.minKeySize() <= 2048 && 2048 <= mi.maxKeySize(), mi.toString());
            Rv.ok(JNI.c_GetMechanismInfo(module, slot, Ck.CKM_ECDSA, info), "c_GetMechanismInfo");
            long flags = Ck.MechanismInfo.read(info).flags();
            assertEquals(Ck.CKF_SIGN | Ck.CKF_VERIFY, flags & (Ck.CKF_SIGN | Ck.CKF_VERIFY));
        } finally {
            list.free();
            info.free();
        }
    }

    @Test
    void aWrongPinIsRefusedAndTheRightOneAccepted() {
        Rv.ok(JNI.c_Logout(module, session), "c_Logout");
        Rv.expect(Ck.CKR_PIN_INCORRECT, login(Ck.CKU_USER, "0000000000"), "wrong PIN");
        Rv.ok(login(Ck.CKU_USER, USER_PIN), "right PIN");
        Rv.expect(Ck.CKR_USER_ALREADY_LOGGED_IN, login(Ck.CKU_USER, USER_PIN), "once more");
    }

    @Test
    void objectsAreCreatedFoundReadChangedCopiedAndDestroyed() {
        byte[] value = "held by the token".getBytes(StandardCharsets.UTF_8);
        long data = createObject(ulongAttr(Ck.CKA_CLASS, Ck.CKO_DATA), attr(Ck.CKA_TOKEN, false),
                attr(Ck.CKA_LABEL, "data one"), attr(Ck.CKA_APPLICATION, "orvjni"), attr(Ck.CKA_VALUE, value));
        assertArrayEquals(new long[] {data}, findObjects(ulongAttr(Ck.CKA_CLASS, Ck.CKO_DATA),
                attr(Ck.CKA_LABEL, "data one")));
        assertArrayEquals(value, attribute(data, Ck.CKA_VALUE));

        // Several attributes at once, one of them unknown to the object class.
        try (Template t = new Template(buffer(Ck.CKA_LABEL, 32), buffer(Ck.CKA_CLASS, Ck.LONG),
                buffer(Ck.CKA_MODULUS, 8))) {
            Rv.expect(Ck.CKR_ATTRIBUTE_TYPE_INVALID, JNI.c_GetAttributeValue(module, session, data, t.block, 3),
                    "a data object has no modulus");
            assertEquals("data one", t.textValue(0));
            assertEquals(Ck.CKO_DATA, t.ulongValue(1));
            assertEquals(Ck.UNAVAILABLE, t.length(2));
        }

        try (Template t = new Template(attr(Ck.CKA_LABEL, "data renamed"))) {
            Rv.ok(JNI.c_SetAttributeValue(module, session, data, t.block, 1), "c_SetAttributeValue");
        }
        assertEquals("data renamed", new String(attribute(data, Ck.CKA_LABEL), StandardCharsets.UTF_8));

        long[] copy = {-1};
        try (Template t = new Template(attr(Ck.CKA_LABEL, "data copy"))) {
            Rv.ok(JNI.c_CopyObject(module, session, data, t.block, 1, copy), "c_CopyObject");
        }
        assertNotEquals(data, copy[0]);
        assertArrayEquals(value, attribute(copy[0], Ck.CKA_VALUE));
        assertEquals(2, findObjects(attr(Ck.CKA_APPLICATION, "orvjni")).length);

        Rv.ok(JNI.c_DestroyObject(module, session, data), "c_DestroyObject");
        Rv.ok(JNI.c_DestroyObject(module, session, copy[0]), "c_DestroyObject");
        assertEquals(0, findObjects(attr(Ck.CKA_APPLICATION, "orvjni")).length);
        Rv.expect(Ck.CKR_OBJECT_HANDLE_INVALID, JNI.c_DestroyObject(module, session, data), "destroyed already");
    }

    @Test
    void rsaSignaturesWithLengthQueryAndShortBufferVerifyInTheJdk() throws GeneralSecurityException {
        long[] pair = keyPair(Ck.CKM_RSA_PKCS_KEY_PAIR_GEN,
                new Ck.Attr[] {ulongAttr(Ck.CKA_MODULUS_BITS, 2048), attr(Ck.CKA_PUBLIC_EXPONENT, new byte[] {1, 0, 1}),
                    attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_VERIFY, true)},
                new Ck.Attr[] {attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_PRIVATE, true), attr(Ck.CKA_SENSITIVE, true),
                    attr(Ck.CKA_SIGN, true)});
        byte[] data = "signed through the bridge".getBytes(StandardCharsets.UTF_8);

        try (Mechanism m = Mechanism.of(Ck.CKM_SHA256_RSA_PKCS)) {
            Rv.ok(JNI.c_SignInit(module, session, m.block, pair[1]), "c_SignInit");
        }
        Pointer in = Ck.block(data), small = Pointer.getInstance(16), out = Pointer.getInstance(256);
        byte[] signature;
        try {
            long[] length = {0};
            Rv.ok(JNI.c_Sign(module, session, in, data.length, null, length), "length query with a null Pointer");
            assertEquals(256, length[0]);
            length[0] = 16;
            Rv.expect(Ck.CKR_BUFFER_TOO_SMALL, JNI.c_Sign(module, session, in, data.length, small, length),
                    "16 bytes of room");
            assertEquals(256, length[0], "the length that is needed");
            Rv.ok(JNI.c_Sign(module, session, in, data.length, out, length), "c_Sign");
            assertEquals(256, length[0]);
            signature = out.getContent();
        } finally {
            in.free();
            small.free();
            out.free();
        }

        PublicKey pub = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(
                new BigInteger(1, attribute(pair[0], Ck.CKA_MODULUS)),
                new BigInteger(1, attribute(pair[0], Ck.CKA_PUBLIC_EXPONENT))));
        Signature jdk = Signature.getInstance("SHA256withRSA");
        jdk.initVerify(pub);
        jdk.update(data);
        assertTrue(jdk.verify(signature), "the JDK accepts the token's signature");

        Rv.ok(verify(Ck.CKM_SHA256_RSA_PKCS, pair[0], data, signature), "c_Verify");
        signature[100] ^= 1;
        Rv.expect(Ck.CKR_SIGNATURE_INVALID, verify(Ck.CKM_SHA256_RSA_PKCS, pair[0], data, signature), "tampered");

        // The same signature in parts: RSA PKCS#1 v1.5 is deterministic.
        signature[100] ^= 1;
        try (Mechanism m = Mechanism.of(Ck.CKM_SHA256_RSA_PKCS)) {
            Rv.ok(JNI.c_SignInit(module, session, m.block, pair[1]), "c_SignInit");
        }
        Pointer a = Ck.block(Arrays.copyOfRange(data, 0, 7)), b = Ck.block(Arrays.copyOfRange(data, 7, data.length));
        Pointer parts = Pointer.getInstance(256);
        try {
            Rv.ok(JNI.c_SignUpdate(module, session, a, 7), "c_SignUpdate");
            Rv.ok(JNI.c_SignUpdate(module, session, b, data.length - 7), "c_SignUpdate");
            long[] length = {256};
            Rv.ok(JNI.c_SignFinal(module, session, parts, length), "c_SignFinal");
            assertArrayEquals(signature, Ck.read(parts, 0, (int) length[0]));
        } finally {
            a.free();
            b.free();
            parts.free();
        }
        Rv.ok(JNI.c_DestroyObject(module, session, pair[0]), "destroy");
        Rv.ok(JNI.c_DestroyObject(module, session, pair[1]), "destroy");
    }

    @Test
    void ecdsaSignaturesVerifyInTheJdkUnderThePublicPointReadBack() throws GeneralSecurityException {
        long[] pair = ecKeyPair();
        byte[] data = "abc, signed with P-256".getBytes(StandardCharsets.UTF_8);
        byte[] hash = digest(data);

        try (Mechanism m = Mechanism.of(Ck.CKM_ECDSA)) {
            Rv.ok(JNI.c_SignInit(module, session, m.block, pair[1]), "c_SignInit");
        }
        byte[] signature = singlePart((in, n, out, len) -> JNI.c_Sign(module, session, in, n, out, len), hash,
                "c_Sign");
        assertEquals(64, signature.length, "r and s");

        Signature jdk = Signature.getInstance("SHA256withECDSAinP1363Format");
        jdk.initVerify(jdkEcKey(ecPoint(pair[0])));
        jdk.update(data);
        assertTrue(jdk.verify(signature), "the JDK accepts the token's signature");

        Rv.ok(verify(Ck.CKM_ECDSA, pair[0], hash, signature), "c_Verify");
        signature[5] ^= 1;
        Rv.expect(Ck.CKR_SIGNATURE_INVALID, verify(Ck.CKM_ECDSA, pair[0], hash, signature), "tampered");
    }

    @Test
    void sha256OfAbcSingleAndMultiPart() {
        byte[] expected = HexFormat.of().parseHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        assertArrayEquals(expected, digest("abc".getBytes(StandardCharsets.US_ASCII)));

        try (Mechanism sha = Mechanism.of(Ck.CKM_SHA256)) {
            Rv.ok(JNI.c_DigestInit(module, session, sha.block), "c_DigestInit");
        }
        Pointer a = Ck.block("a"), bc = Ck.block("bc"), out = Pointer.getInstance(32);
        try {
            Rv.ok(JNI.c_DigestUpdate(module, session, a, 1), "c_DigestUpdate");
            Rv.ok(JNI.c_DigestUpdate(module, session, bc, 2), "c_DigestUpdate");
            long[] length = {32};
            Rv.ok(JNI.c_DigestFinal(module, session, out, length), "c_DigestFinal");
            assertEquals(32, length[0]);
            assertArrayEquals(expected, out.getContent());
        } finally {
            a.free();
            bc.free();
            out.free();
        }
    }

    @Test
    void aesWithAKeyOfKnownBytesAgreesWithTheJdk() throws GeneralSecurityException {
        byte[] keyBytes = HexFormat.of().parseHex("000102030405060708090a0b0c0d0e0f");
        byte[] iv = HexFormat.of().parseHex("f0e0d0c0b0a090807060504030201000");
        byte[] plain = "forty bytes of plain text, more or less.".getBytes(StandardCharsets.US_ASCII);
        long key = createObject(ulongAttr(Ck.CKA_CLASS, Ck.CKO_SECRET_KEY), ulongAttr(Ck.CKA_KEY_TYPE, Ck.CKK_AES),
                attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_VALUE, keyBytes), attr(Ck.CKA_ENCRYPT, true),
                attr(Ck.CKA_DECRYPT, true));

        try (Mechanism m = Mechanism.of(Ck.CKM_AES_CBC_PAD, iv)) {
            Rv.ok(JNI.c_EncryptInit(module, session, m.block, key), "c_EncryptInit");
        }
        byte[] cipher = singlePart((in, n, out, len) -> JNI.c_Encrypt(module, session, in, n, out, len), plain,
                "c_Encrypt");
        assertEquals(48, cipher.length);

        Cipher jdk = Cipher.getInstance("AES/CBC/PKCS5Padding");
        jdk.init(Cipher.DECRYPT_MODE, new SecretKeySpec(keyBytes, "AES"), new IvParameterSpec(iv));
        assertArrayEquals(plain, jdk.doFinal(cipher), "the JDK decrypts the token's ciphertext");

        List<byte[]> plainParts = List.of(Arrays.copyOfRange(plain, 0, 5), Arrays.copyOfRange(plain, 5, 33),
                Arrays.copyOfRange(plain, 33, plain.length));
        try (Mechanism m = Mechanism.of(Ck.CKM_AES_CBC_PAD, iv)) {
            Rv.ok(JNI.c_EncryptInit(module, session, m.block, key), "c_EncryptInit");
        }
        assertArrayEquals(cipher, multiPart((in, n, out, len) -> JNI.c_EncryptUpdate(module, session, in, n, out, len),
                (out, len) -> JNI.c_EncryptFinal(module, session, out, len), plainParts), "in parts");

        try (Mechanism m = Mechanism.of(Ck.CKM_AES_CBC_PAD, iv)) {
            Rv.ok(JNI.c_DecryptInit(module, session, m.block, key), "c_DecryptInit");
        }
        assertArrayEquals(plain, singlePart((in, n, out, len) -> JNI.c_Decrypt(module, session, in, n, out, len),
                cipher, "c_Decrypt"));

        try (Mechanism m = Mechanism.of(Ck.CKM_AES_CBC_PAD, iv)) {
            Rv.ok(JNI.c_DecryptInit(module, session, m.block, key), "c_DecryptInit");
        }
        List<byte[]> cipherParts = List.of(Arrays.copyOfRange(cipher, 0, 20), Arrays.copyOfRange(cipher, 20, 48));
        assertArrayEquals(plain, multiPart((in, n, out, len) -> JNI.c_DecryptUpdate(module, session, in, n, out, len),
                (out, len) -> JNI.c_DecryptFinal(module, session, out, len), cipherParts), "in parts");
        Rv.ok(JNI.c_DestroyObject(module, session, key), "destroy");
    }

    @Test
    void aKeyWrappedByTheTokenUnwrapsThereAndInTheJdk() throws GeneralSecurityException {
        byte[] keyBytes = HexFormat.of().parseHex("00112233445566778899aabbccddeeff");
        long target = createObject(ulongAttr(Ck.CKA_CLASS, Ck.CKO_SECRET_KEY), ulongAttr(Ck.CKA_KEY_TYPE, Ck.CKK_AES),
                attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_VALUE, keyBytes), attr(Ck.CKA_EXTRACTABLE, true),
                attr(Ck.CKA_SENSITIVE, false));
        long[] kek = {-1};
        try (Mechanism gen = Mechanism.of(Ck.CKM_AES_KEY_GEN);
                Template t = new Template(ulongAttr(Ck.CKA_VALUE_LEN, 32), attr(Ck.CKA_TOKEN, false),
                        attr(Ck.CKA_WRAP, true), attr(Ck.CKA_UNWRAP, true), attr(Ck.CKA_SENSITIVE, false),
                        attr(Ck.CKA_EXTRACTABLE, true))) {
            Rv.ok(JNI.c_GenerateKey(module, session, gen.block, t.block, t.count(), kek), "c_GenerateKey");
        }
        assertNotEquals(0, kek[0]);
        byte[] kekBytes = attribute(kek[0], Ck.CKA_VALUE);
        assertEquals(32, kekBytes.length);

        byte[] wrapped;
        try (Mechanism wrap = Mechanism.of(Ck.CKM_AES_KEY_WRAP)) {
            long[] length = {0};
            Rv.ok(JNI.c_WrapKey(module, session, wrap.block, kek[0], target, null, length), "length query");
            assertEquals(24, length[0], "RFC 3394: the key plus 8 bytes");
            Pointer out = Pointer.getInstance((int) length[0]);
            try {
                Rv.ok(JNI.c_WrapKey(module, session, wrap.block, kek[0], target, out, length), "c_WrapKey");
                wrapped = Ck.read(out, 0, (int) length[0]);
            } finally {
                out.free();
            }
        }

        Cipher jdk = Cipher.getInstance("AESWrap");
        jdk.init(Cipher.UNWRAP_MODE, new SecretKeySpec(kekBytes, "AES"));
        Key unwrappedByJdk = jdk.unwrap(wrapped, "AES", Cipher.SECRET_KEY);
        assertArrayEquals(keyBytes, unwrappedByJdk.getEncoded());

        long[] unwrapped = {-1};
        Pointer w = Ck.block(wrapped);
        try (Mechanism unwrap = Mechanism.of(Ck.CKM_AES_KEY_WRAP);
                Template t = new Template(ulongAttr(Ck.CKA_CLASS, Ck.CKO_SECRET_KEY),
                        ulongAttr(Ck.CKA_KEY_TYPE, Ck.CKK_AES), attr(Ck.CKA_TOKEN, false),
                        attr(Ck.CKA_SENSITIVE, false), attr(Ck.CKA_EXTRACTABLE, true), attr(Ck.CKA_ENCRYPT, true))) {
            Rv.ok(JNI.c_UnwrapKey(module, session, unwrap.block, kek[0], w, wrapped.length, t.block, t.count(),
                    unwrapped), "c_UnwrapKey");
        } finally {
            w.free();
        }
        assertNotEquals(0, unwrapped[0]);
        assertArrayEquals(keyBytes, attribute(unwrapped[0], Ck.CKA_VALUE));
        for (long h : new long[] {target, kek[0], unwrapped[0]}) {
            Rv.ok(JNI.c_DestroyObject(module, session, h), "destroy");
        }
    }

    @Test
    void ecdhDerivesTheSameSecretOnBothSides() {
        long[] alice = ecKeyPair(), bob = ecKeyPair();
        byte[] fromAlice = derive(alice[1], ecPoint(bob[0]));
        byte[] fromBob = derive(bob[1], ecPoint(alice[0]));
        assertEquals(32, fromAlice.length);
        assertArrayEquals(fromAlice, fromBob);
    }

    private static byte[] derive(long privateKey, byte[] otherPoint) {
        long[] secret = {-1};
        try (Mechanism m = Mechanism.ecdh1Derive(Ck.CKD_NULL, otherPoint);
                Template t = new Template(ulongAttr(Ck.CKA_CLASS, Ck.CKO_SECRET_KEY),
                        ulongAttr(Ck.CKA_KEY_TYPE, Ck.CKK_GENERIC_SECRET), ulongAttr(Ck.CKA_VALUE_LEN, 32),
                        attr(Ck.CKA_TOKEN, false), attr(Ck.CKA_SENSITIVE, false), attr(Ck.CKA_EXTRACTABLE, true))) {
            Rv.ok(JNI.c_DeriveKey(module, session, m.block, privateKey, t.block, t.count(), secret), "c_DeriveKey");
        }
        assertNotEquals(0, secret[0]);
        return attribute(secret[0], Ck.CKA_VALUE);
    }

    @Test
    void randomBytesFillTheBlock() {
        Pointer seed = Ck.block("some seed");
        Pointer a = Pointer.getInstance(32), b = Pointer.getInstance(32);
        try {
            Rv.ok(JNI.c_SeedRandom(module, session, seed, 9), "c_SeedRandom");
            Pointer.copy(new byte[32], 0, a, 0, 32);
            Rv.ok(JNI.c_GenerateRandom(module, session, a, 32), "c_GenerateRandom");
            Rv.ok(JNI.c_GenerateRandom(module, session, b, 32), "c_GenerateRandom");
            assertFalse(Arrays.equals(new byte[32], a.getContent()), "not left as zeros");
            assertFalse(Arrays.equals(a.getContent(), b.getContent()), "two draws differ");
        } finally {
            seed.free();
            a.free();
            b.free();
        }
    }
}
