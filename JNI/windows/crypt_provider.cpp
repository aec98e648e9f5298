// Cryptographic service providers: acquiring, releasing and querying
// provider contexts, and listing the installed providers.
#if defined(_WIN32)
#include "windows/conventions.h"

// A null or empty container or provider name is NULL to the platform:
// the default container, the default provider of the type.
ORV_WIN_NATIVE(cryptAcquireContext, CryptAcquireContextW, BoolResult,
               NewHandleCellArg, WideOrEmptyArg, WideOrEmptyArg, DwordArg, DwordArg)

ORV_WIN_NATIVE(cryptReleaseContext, CryptReleaseContext, BoolResult, HandleArg, DwordArg)

// The reserved pointer travels as a long of which the low 32 bits count.
ORV_WIN_NATIVE(cryptContextAddRef, CryptContextAddRef, BoolResult, HandleArg, HandleArg, DwordArg)

// The parameters whose block holds a PIN.
static bool IsPinParam(DWORD param) {
    return param == PP_ADMIN_PIN || param == PP_KEYEXCHANGE_PIN || param == PP_SIGNATURE_PIN ||
           param == PP_SECURE_KEYEXCHANGE_PIN || param == PP_SECURE_SIGNATURE_PIN;
}

// A parameter's data block, after the parameter number: in the trace, the
// block of a PIN shows only its size, not even its address.
struct ProvParamDataArg : DataArg {
    template <size_t I, class L>
    static void Trace(TraceLine *line, JNIEnv *env, Java j, const L &before, const L &, bool) {
        static_assert(std::is_same<typename std::tuple_element<I - 1, L>::type, DWORD>::value,
                      "the parameter number comes before its data");
        if (IsPinParam(std::get<I - 1>(before)))
            TraceSecretPointer(line, env, j, "PIN");
        else
            TracePointer(line, env, j);
    }
};

ORV_WIN_NATIVE(cryptGetProvParam, CryptGetProvParam, BoolResult,
               HandleArg, DwordArg, ProvParamDataArg, LengthCellArg<2>, DwordArg)

ORV_WIN_NATIVE(cryptSetProvParam, CryptSetProvParam, BoolResult,
               HandleArg, DwordArg, ProvParamDataArg, DwordArg)

// The name block is filled in place; its Pointer keeps its capacity as
// "size" and the name is read up to its terminator.  The second argument
// stands where the platform has its reserved pointer.
ORV_WIN_NATIVE(cryptEnumProviders, CryptEnumProvidersW, BoolResult,
               DwordArg, UnreadArg<jint>, DwordArg, DwordCellArg, DataArg, DwordCellArg)

#endif
