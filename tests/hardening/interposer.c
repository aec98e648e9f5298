/* Preloaded ahead of the bridge: functions of the same names as three of the
 * bridge's exported helpers (one of them also exported by a common property
 * list library), each counting its calls and doing nothing the bridge's own
 * would.  A bridge whose calls to its helpers went through the loader's
 * global scope would reach these. */
#include <jni.h>

int interposer_calls;

void plist_free(void *registry) {
    (void)registry;
    interposer_calls++;
}

void ThrowNewException(JNIEnv *env, const char *message) {
    (void)env;
    (void)message;
    interposer_calls++;
}

jlong GetLongField(JNIEnv *env, jobject obj, const char *name) {
    (void)env;
    (void)obj;
    (void)name;
    interposer_calls++;
    return 0x5a5a;
}
