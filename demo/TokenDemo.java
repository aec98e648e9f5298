package Orvalith.Demo;

import Orvalith.Base.JNI;
import Orvalith.Base.JNI.Pointer;
import Orvalith.Test.Ck;
import Orvalith.Test.Ck.Mechanism;
import Orvalith.Test.Ck.Template;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.AlgorithmParameters;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.ECGenParameterSpec;
import java.security.spec.ECParameterSpec;
import java.security.spec.ECPoint;
import java.security.spec.ECPublicKeySpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;

/**
 * The token walk-through: one signature made by a token module through the
 * bridge and checked by the JDK, printing each step and the Cryptoki
 * result it got.  A step that fails prints its code and name, the demo
 * undoes what it can, and the process exits with status 1.
 *
 *   TokenDemo --module PATH --pin PIN [--slot ID] [--key ec|rsa]
 *
 * The bridge library is the one named by -Dorvjni.library.
 */
public final class TokenDemo {
    /** The DER encoding of the P-256 curve's object identifier. */
    private static final byte[] P256 = HexFormat.of().parseHex("06082a8648ce3d030107");
    private static final byte[] MESSAGE = "Signed by a token, checked by the JDK.".getBytes(StandardCharsets.UTF_8);

    /** A step that failed: its Cryptoki result, or null for a step that is no Cryptoki call. */
    private static final class StepFailed extends Exception {
        private static final long serialVersionUID = 1L;
        final Long rv;

        StepFailed(String step, Long rv) {
            super(step);
            this.rv = rv;
        }
    }

    /** Receives the module's session notifications. */
    public static final class Notifications {
        public long callback(long session, long event, Object application) {
            System.out.printf("       notification: session 0x%x, event %d, for %s%n", session, event, application);
            return Ck.CKR_OK;
        }
    }

    private final String modulePath;
    private final String pin;
    private final Long wantedSlot;
    private final boolean rsa;

    private int step;
    private long module;
    private boolean initialised;
    private long session;
    private boolean loggedIn;
    private final List<Pointer> blocks = new ArrayList<>();
    private final List<Ck.Struct> structs = new ArrayList<>();

    private TokenDemo(String modulePath, String pin, Long wantedSlot, boolean rsa) {
        this.modulePath = modulePath;
        this.pin = pin;
        this.wantedSlot = wantedSlot;
        this.rsa = rsa;
    }

    private void say(String what, String result) {
        System.out.printf("%3d  %-44s %s%n", ++step, what, result);
    }

    /** Prints the step with its result by name; anything but CKR_OK ends the walk-through. */
    private void check(String what, long rv, String detail) throws StepFailed {
        if (rv != Ck.CKR_OK) {
            say(what, "FAILED: " + Ck.rv(rv));
            throw new StepFailed(what, rv);
        }
        say(what, Ck.rvName(rv) + (detail.isEmpty() ? "" : "  " + detail));
    }

    private void check(String what, long rv) throws StepFailed {
        check(what, rv, "");
    }

    private Pointer block(int size) {
        Pointer p = Pointer.getInstance(size);
        blocks.add(p);
        return p;
    }

    private Pointer block(byte[] content) {
        Pointer p = Ck.block(content);
        blocks.add(p);
        return p;
    }

    private <T extends Ck.Struct> T struct(T s) {
        structs.add(s);
        return s;
    }

    private void run() throws Exception {
        System.out.println("Token walk-through with " + modulePath + " (CK_ULONG of " + Ck.LONG + " bytes)");

        module = JNI.loadExternalModule(modulePath);
        if (module == 0) {
            say("loadExternalModule", "FAILED: the module could not be opened");
            throw new StepFailed("loadExternalModule", null);
        }
        say("loadExternalModule", String.format("module handle 0x%x", module));

        check("c_Initialize (the bridge's mutex functions)",
                JNI.c_Initialize(module, new JNI.CK_C_INITIALIZE_ARGS(true, 0, 0)));
        initialised = true;

        Pointer info = block(Ck.Info.SIZE);
        check("c_GetInfo", JNI.c_GetInfo(module, info), describe(Ck.Info.read(info)));

        long slot = chooseSlot();

        long[] cell = {0};
        check("c_OpenSession (with a notification callback)", JNI.c_OpenSession(module, slot,
                Ck.CKF_SERIAL_SESSION | Ck.CKF_RW_SESSION, "the demo's session", new Notifications(), cell),
                String.format("session 0x%x", cell[0]));
        session = cell[0];

        Pointer pinBlock = block(pin.getBytes(StandardCharsets.UTF_8));
        check("c_Login (user)", JNI.c_Login(module, session, Ck.CKU_USER, pinBlock, pin.length()));
        loggedIn = true;

        long[] pub = {0}, priv = {0};
        Mechanism keyGen;
        Template pubTemplate, privTemplate;
        if (rsa) {
            keyGen = struct(Mechanism.of(Ck.CKM_RSA_PKCS_KEY_PAIR_GEN));
            pubTemplate = struct(new Template(Ck.ulongAttr(Ck.CKA_MODULUS_BITS, 2048),
                    Ck.attr(Ck.CKA_PUBLIC_EXPONENT, new byte[] {1, 0, 1}), Ck.attr(Ck.CKA_TOKEN, false),
                    Ck.attr(Ck.CKA_VERIFY, true)));
        } else {
            keyGen = struct(Mechanism.of(Ck.CKM_EC_KEY_PAIR_GEN));
            pubTemplate = struct(new Template(Ck.attr(Ck.CKA_EC_PARAMS, P256), Ck.attr(Ck.CKA_TOKEN, false),
                    Ck.attr(Ck.CKA_VERIFY, true)));
        }
        privTemplate = struct(new Template(Ck.attr(Ck.CKA_TOKEN, false), Ck.attr(Ck.CKA_PRIVATE, true),
                Ck.attr(Ck.CKA_SENSITIVE, true), Ck.attr(Ck.CKA_SIGN, true)));
        check(rsa ? "c_GenerateKeyPair (RSA 2048)" : "c_GenerateKeyPair (EC P-256)",
                JNI.c_GenerateKeyPair(module, session, keyGen.block, pubTemplate.block, pubTemplate.count(),
                        privTemplate.block, privTemplate.count(), pub, priv),
                String.format("public key 0x%x, private key 0x%x", pub[0], priv[0]));

        PublicKey jdkKey = rsa ? rsaPublicKey(pub[0]) : ecPublicKey(pub[0]);

        // ECDSA signs a hash that the caller makes: the token makes it too.
        byte[] toSign = MESSAGE;
        if (!rsa) {
            check("c_DigestInit (SHA-256)",
                    JNI.c_DigestInit(module, session, struct(Mechanism.of(Ck.CKM_SHA256)).block));
            Pointer data = block(MESSAGE);
            Pointer hash = block(32);
            long[] length = {32};
            check("c_Digest", JNI.c_Digest(module, session, data, MESSAGE.length, hash, length),
                    length[0] + " bytes");
            toSign = Arrays.copyOf(hash.getContent(), (int) length[0]);
        }

        long signMechanism = rsa ? Ck.CKM_SHA256_RSA_PKCS : Ck.CKM_ECDSA;
        check(rsa ? "c_SignInit (SHA-256 with RSA PKCS #1)" : "c_SignInit (ECDSA)",
                JNI.c_SignInit(module, session, struct(Mechanism.of(signMechanism)).block, priv[0]));
        Pointer input = block(toSign);
        long[] length = {0};
        check("c_Sign (length query, null output)", JNI.c_Sign(module, session, input, toSign.length, null, length),
                length[0] + " bytes needed");
        Pointer signatureBlock = block((int) length[0]);
        check("c_Sign", JNI.c_Sign(module, session, input, toSign.length, signatureBlock, length),
                length[0] + " bytes");

        byte[] signature = Arrays.copyOf(signatureBlock.getContent(), (int) length[0]);
        say("Pointer.getContent (the signature)", HexFormat.of().formatHex(signature, 0, 16) + "...");

        Signature verifier = Signature.getInstance(rsa ? "SHA256withRSA" : "SHA256withECDSAinP1363Format");
        verifier.initVerify(jdkKey);
        verifier.update(MESSAGE);
        if (!verifier.verify(signature)) {
            say("java.security.Signature.verify", "FAILED: the JDK rejects the signature");
            throw new StepFailed("java.security.Signature.verify", null);
        }
        say("java.security.Signature.verify", "valid under the public key read from the token");

        int freed = freeBlocks();
        say("JNI$Pointer.free", freed + " blocks released");

        check("c_Logout", JNI.c_Logout(module, session));
        loggedIn = false;
        check("c_CloseSession", JNI.c_CloseSession(module, session));
        session = 0;
        check("c_Finalize", JNI.c_Finalize(module, 0));
        initialised = false;
        JNI.unloadExternalModule(module);
        module = 0;
        say("unloadExternalModule", "done");
    }

    private static String describe(Ck.Info i) {
        return String.format("Cryptoki %d.%d, %s, %s %d.%d", i.cryptokiMajor(), i.cryptokiMinor(), i.manufacturerID(),
                i.libraryDescription(), i.libraryMajor(), i.libraryMinor());
    }

    /** Lists the slots with a token and takes the one asked for, or the first one ready for a user. */
    private long chooseSlot() throws StepFailed {
        long[] count = {0};
        check("c_GetSlotList (count, null list)", JNI.c_GetSlotList(module, true, null, count),
                count[0] + " slots with a token");
        Pointer list = block(Math.max(1, (int) count[0]) * Ck.LONG);
        check("c_GetSlotList", JNI.c_GetSlotList(module, true, list, count));
        Pointer tokenInfo = block(Ck.TokenInfo.SIZE);
        Long chosen = null;
        for (long id : Ck.ulongs(list, count[0])) {
            check("c_GetTokenInfo (slot " + id + ")", JNI.c_GetTokenInfo(module, id, tokenInfo));
            Ck.TokenInfo t = Ck.TokenInfo.read(tokenInfo);
            boolean ready = (t.flags() & Ck.CKF_USER_PIN_INITIALIZED) != 0;
            System.out.printf("       slot %d: \"%s\" by %s, %s%n", id, t.label(), t.manufacturerID(),
                    ready ? "user PIN set" : "no user PIN");
            if (wantedSlot != null ? id == wantedSlot : chosen == null && ready) {
                chosen = id;
            }
        }
        if (chosen == null) {
            say("choose a slot", "FAILED: " + (wantedSlot != null ? "no token in slot " + wantedSlot
                    : "no token with a user PIN"));
            throw new StepFailed("choose a slot", null);
        }
        say("choose a slot", "slot " + chosen);
        return chosen;
    }

    /** An attribute's value, its length asked for first. */
    private byte[] attribute(long object, long type, String name) throws StepFailed {
        Template q = struct(new Template(Ck.query(type)));
        check("c_GetAttributeValue (length of " + name + ")", JNI.c_GetAttributeValue(module, session, object,
                q.block, 1), q.length(0) + " bytes");
        Template t = struct(new Template(Ck.buffer(type, (int) q.length(0))));
        check("c_GetAttributeValue (" + name + ")", JNI.c_GetAttributeValue(module, session, object, t.block, 1));
        return t.value(0);
    }

    private PublicKey ecPublicKey(long key) throws Exception {
        byte[] der = attribute(key, Ck.CKA_EC_POINT, "CKA_EC_POINT");
        // An OCTET STRING around the uncompressed point 04 || X || Y.
        byte[] point = der.length == 67 && der[0] == 0x04 ? Arrays.copyOfRange(der, 2, der.length) : der;
        AlgorithmParameters params = AlgorithmParameters.getInstance("EC");
        params.init(new ECGenParameterSpec("secp256r1"));
        ECPoint w = new ECPoint(new BigInteger(1, Arrays.copyOfRange(point, 1, 33)),
                new BigInteger(1, Arrays.copyOfRange(point, 33, 65)));
        return KeyFactory.getInstance("EC").generatePublic(
                new ECPublicKeySpec(w, params.getParameterSpec(ECParameterSpec.class)));
    }

    private PublicKey rsaPublicKey(long key) throws Exception {
        BigInteger modulus = new BigInteger(1, attribute(key, Ck.CKA_MODULUS, "CKA_MODULUS"));
        BigInteger exponent = new BigInteger(1, attribute(key, Ck.CKA_PUBLIC_EXPONENT, "CKA_PUBLIC_EXPONENT"));
        return KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(modulus, exponent));
    }

    private int freeBlocks() {
        int n = blocks.size();
        for (Ck.Struct s : structs) {
            s.close();
            n++;
        }
        structs.clear();
        blocks.forEach(Pointer::free);
        blocks.clear();
        return n;
    }

    /** After a failed step: whatever was reached is undone, quietly and in order. */
    private void cleanUp() {
        freeBlocks();
        if (module == 0) {
            return;
        }
        if (loggedIn) {
            JNI.c_Logout(module, session);
        }
        if (session != 0) {
            JNI.c_CloseSession(module, session);
        }
        if (initialised) {
            JNI.c_Finalize(module, 0);
        }
        JNI.unloadExternalModule(module);
        module = 0;
    }

    private static void usage(String problem) {
        System.err.println("TokenDemo: " + problem);
        System.err.println("usage: TokenDemo --module PATH --pin PIN [--slot ID] [--key ec|rsa]");
        System.exit(2);
    }

    public static void main(String[] args) {
        String module = null, pin = null;
        Long slot = null;
        boolean rsa = false;
        for (int i = 0; i < args.length; i++) {
            String value = i + 1 < args.length ? args[i + 1] : null;
            switch (args[i]) {
                case "--module" -> module = value;
                case "--pin" -> pin = value;
                case "--slot" -> {
                    try {
                        slot = value == null ? null : Long.decode(value);
                    } catch (NumberFormatException e) {
                        usage("not a slot ID: " + value);
                    }
                }
                case "--key" -> {
                    if (!"ec".equals(value) && !"rsa".equals(value)) {
                        usage("--key is ec or rsa");
                    }
                    rsa = "rsa".equals(value);
                }
                default -> usage("unknown argument " + args[i]);
            }
            if (value == null) {
                usage(args[i] + " needs a value");
            }
            i++;
        }
        if (module == null || pin == null) {
            usage("--module and --pin are required");
        }

        TokenDemo demo = new TokenDemo(module, pin, slot, rsa);
        try {
            demo.run();
            System.out.println("The walk-through completed.");
        } catch (StepFailed e) {
            demo.cleanUp();
            System.out.println("The walk-through stopped at " + e.getMessage()
                    + (e.rv == null ? "." : ": code 0x" + Long.toHexString(e.rv) + ", " + Ck.rvName(e.rv)));
            System.exit(1);
        } catch (Exception e) {
            demo.cleanUp();
            System.out.println("The walk-through stopped: " + e);
            System.exit(1);
        }
    }
}
