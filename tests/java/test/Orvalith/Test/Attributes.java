package Orvalith.Test;

import static Orvalith.Test.Ck.buffer;
import static Orvalith.Test.Ck.query;

import Orvalith.Base.JNI;
import Orvalith.Test.Ck.Template;

/** Reading one attribute of an object the way a Java caller does: the length first, then the value. */
final class Attributes {
    private Attributes() {
    }

    static byte[] read(long module, long session, long object, long type) {
        long length;
        try (Template q = new Template(query(type))) {
            Rv.ok(JNI.c_GetAttributeValue(module, session, object, q.block, 1), "length of 0x" + Long.toHexString(type));
            length = q.length(0);
        }
        try (Template t = new Template(buffer(type, (int) length))) {
            Rv.ok(JNI.c_GetAttributeValue(module, session, object, t.block, 1), "value of 0x" + Long.toHexString(type));
            return t.value(0);
        }
    }
}
