/* Other native code in the process: keeps a registry of its own with the
 * bridge's plist functions and sees the bridge's jvm variable. */
#include <stdio.h>

#include <orvjni.h>

int main(void) {
    plist registry;
    int a, b;
    plist_new(&registry);
    plist_add(&registry, &a);
    plist_add(&registry, &b);
    plist_add(&registry, &a);
    if (registry.count != 2 || registry.head->address != &b) return 1;
    if (plist_delete(&registry, &a) != 0 || plist_delete(&registry, &a) != 1) return 2;
    plist_reset(&registry);
    if (registry.head != NULL || registry.count != 0) return 3;
    if (jvm != NULL || GetEnv() != NULL) return 4; /* no VM loaded us */
    puts("consumer ok");
    return 0;
}
