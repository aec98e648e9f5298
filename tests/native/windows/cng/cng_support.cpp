#include "cng_support.h"

#include <string.h>

std::wstring DoublesDirectory() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    dir.resize(slash == std::wstring::npos ? 0 : slash);
    return dir + L"\\cng-doubles";
}

std::string DllOverrides() {
    char value[512];
    DWORD n = GetEnvironmentVariableA("WINEDLLOVERRIDES", value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string("(not set)");
}

template <typename Fn>
static void Find(HMODULE m, const char *name, Fn *fn) {
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(m, name)));
}

bool ProcessIsFor(const char *suite) {
    char value[32];
    DWORD n = GetEnvironmentVariableA("ORVJNI_CNG_PROCESS", value, sizeof value);
    return n > 0 && n < sizeof value && strcmp(value, suite) == 0;
}

bool DoubleLibrary::Attach(HMODULE m) {
    module = m;
    if (m == nullptr) return false;
    Find(m, "DoubleScript", &script);
    Find(m, "DoubleReset", &reset);
    Find(m, "DoubleCount", &count);
    Find(m, "DoubleCall", &call);
    return script != nullptr && reset != nullptr && count != nullptr && call != nullptr;
}

std::vector<RecordedCall> DoubleLibrary::Calls() const {
    std::vector<RecordedCall> calls;
    RecordedCall one;
    for (unsigned i = 0; call(i, &one); i++) calls.push_back(one);
    return calls;
}

std::u16string TextOf(const RecordedCall &call, unsigned index) {
    return std::u16string(reinterpret_cast<const char16_t *>(call.text[index]));
}

bool EverWritten(fakejni::Vm *vm, jarray cell) {
    for (jint mode : fakejni::array_stats(vm, cell).release_modes)
        if (mode != JNI_ABORT) return true;
    return false;
}
