// Smoke check of the Windows variants, built with the MinGW cross compiler
// and run where a Windows loader is at hand:
//   windows_smoke.exe <dir with the mockp11*.dll files>
// Prints "N passed, N failed" and exits non-zero on any failure.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mock_control.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char *what, const char *module)
{
    if (ok) {
        g_passed++;
    } else {
        g_failed++;
        std::printf("FAILED: %s: %s\n", module, what);
    }
}

CK_RV CreateCb(void **out)
{
    HANDLE h = CreateMutexW(nullptr, FALSE, nullptr);
    if (h == nullptr)
        return CKR_FUNCTION_FAILED;
    *out = h;
    return CKR_OK;
}

CK_RV DestroyCb(void *m) { return CloseHandle(m) ? CKR_OK : CKR_FUNCTION_FAILED; }
CK_RV LockCb(void *m) { return WaitForSingleObject(m, INFINITE) == WAIT_OBJECT_0 ? CKR_OK : CKR_FUNCTION_FAILED; }
CK_RV UnlockCb(void *m) { return ReleaseMutex(m) ? CKR_OK : CKR_FUNCTION_FAILED; }

CK_RV NotifyCb(CK_SESSION_HANDLE, CK_NOTIFICATION event, void *application)
{
    return application != nullptr ? event + 1 : CKR_GENERAL_ERROR;
}

template <typename T>
T Proc(HMODULE h, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(h, name)));
}

// Entry i of a table whose entries start at `first`, 4 bytes apart.
void *EntryAt(const void *table, size_t first, int i)
{
    void *p;
    std::memcpy(&p, static_cast<const unsigned char *>(table) + first + 4 * i, sizeof p);
    return p;
}

void CheckModule(const std::string &dir, const char *name, size_t first, bool packed)
{
    std::string path = dir + "\\lib" + name + ".dll";
    HMODULE h = LoadLibraryA(path.c_str());
    if (h == nullptr) {
        path = dir + "\\" + name + ".dll";
        h = LoadLibraryA(path.c_str());
    }
    Check(h != nullptr, "loads", name);
    if (h == nullptr)
        return;
    const MockControl *ctl = Proc<MockControlFn>(h, MOCK_CONTROL_SYMBOL)();
    ctl->reset();

    auto gfl = Proc<CK_C_GetFunctionList>(h, "C_GetFunctionList");
    CK_FUNCTION_LIST_PTR list = nullptr;
    Check(gfl != nullptr && gfl(&list) == CKR_OK, "C_GetFunctionList answers CKR_OK", name);
    const auto *bytes = reinterpret_cast<const unsigned char *>(list);
    Check(bytes[0] == 2 && bytes[1] == 40, "version 2.40", name);
    Check(packed ? bytes[2] != 0 : bytes[2] == 0 && bytes[3] == 0, "third byte tells the packing", name);
    Check(ctl->table_size() == first + 4 * MOCK_ENTRY_COUNT, "table size", name);
    bool entries_ok = true;
    for (int i = 1; i < MOCK_ENTRY_COUNT; ++i)
        entries_ok = entries_ok && EntryAt(list, first, i) == reinterpret_cast<void *>(GetProcAddress(h, ctl->entry_name(i)));
    Check(entries_ok, "entries 1..67 are the exported functions", name);

    // Entry 0 may be a second entry point (see the module); it must record as C_Initialize.
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    args.CreateMutex = CreateCb;
    args.DestroyMutex = DestroyCb;
    args.LockMutex = LockCb;
    args.UnlockMutex = UnlockCb;
    auto init = reinterpret_cast<CK_C_Initialize>(EntryAt(list, first, 0));
    Check(init(&args) == CKR_OK && ctl->record_last(MOCK_C_Initialize, nullptr) >= 0, "entry 0 initialises", name);
    Check(ctl->mutex_stress(4, 500) == 0 && ctl->mutex_counter() == 2000, "mutex stress", name);

    auto open = reinterpret_cast<CK_C_OpenSession>(EntryAt(list, first, MOCK_C_OpenSession));
    int app = 0;
    CK_SESSION_HANDLE session = 0;
    Check(open(1, 0, &app, NotifyCb, &session) == CKR_OK && session == MOCK_FIRST_SESSION_HANDLE, "open session",
          name);
    Check(ctl->notify_from_new_thread(session, 6) == 7, "notify from a new thread", name);

    ctl->set_entry_null(MOCK_C_Initialize, 1);
    Check(EntryAt(list, first, 0) == nullptr && (!packed || bytes[2] == 0), "entry 0 cleared", name);
    ctl->reset();
    FreeLibrary(h);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    CheckModule(dir, "mockp11", 2, true);
    CheckModule(dir, "mockp11_packed", 2, true);
    CheckModule(dir, "mockp11_slots4", 4, false);
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
