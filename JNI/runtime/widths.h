/*
 * How Java values meet native widths.  Every width-dependent step of the
 * bridge goes through these functions, so the 32-bit builds (Windows x86,
 * Linux MIPS32) and the 64-bit build differ in exactly one place.
 *
 *  - A Java long becomes a CK_ULONG or a pointer by keeping its low bits.
 *  - A CK_ULONG, CK_RV or handle becomes a Java long without sign.
 *  - An address becomes a Java long with sign, as Java code has always
 *    seen block addresses and module handles on the 32-bit builds.
 */
#ifndef ORVJNI_WIDTHS_H
#define ORVJNI_WIDTHS_H

#include <jni.h>
#include <stdint.h>
#include <p11-kit/pkcs11.h>

static_assert(sizeof(jlong) == 8, "a Java long is 64 bits everywhere");
static_assert(sizeof(CK_ULONG) == sizeof(void *),
              "Cryptoki integers are as wide as pointers on every deliverable");

inline CK_ULONG NarrowUlong(jlong value) {
    return static_cast<CK_ULONG>(static_cast<uint64_t>(value));
}

inline jlong WidenUlong(CK_ULONG value) {
    return static_cast<jlong>(static_cast<uint64_t>(value));
}

inline void *NarrowAddress(jlong value) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(static_cast<uint64_t>(value)));
}

inline jlong WidenAddress(const void *address) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(address));
}

#endif
