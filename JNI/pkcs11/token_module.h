/*
 * The module handle: what loadExternalModule gives Java as a long, and
 * where every token native finds the module's function table.
 */
#ifndef ORVJNI_TOKEN_MODULE_H
#define ORVJNI_TOKEN_MODULE_H

#include <stddef.h>
#include <stdint.h>

#include "runtime/bridge.h"

/* What a token native answers when it cannot call the module: a zero
 * handle, or no entry for the function.  In the vendor-defined range. */
#define CKR_NO_FUNCTION 0x80000001UL

struct ModuleSlot;

struct TokenModule {
    void *library;                /* dlopen handle, or HMODULE on Windows */
    CK_FUNCTION_LIST *functions;  /* the module's own table, or one of ours */
    int32_t table_owned;          /* 1: the bridge allocated the table */
    ModuleSlot *slot;             /* where the live records keep it */
};

/* Entry i of a function table lies after the version, one pointer each. */
#define ORV_TABLE_ENTRIES 68
#define ORV_TABLE_HEADER offsetof(CK_FUNCTION_LIST, C_Initialize)

#if defined(_WIN32)
/* The header's _WIN32 branch packs every Cryptoki structure to 1 byte. */
static_assert(ORV_TABLE_HEADER == 2, "packed table: entry 0 right after the version");
static_assert(sizeof(CK_FUNCTION_LIST) == 274, "packed table of 68 entries");
static_assert(offsetof(CK_FUNCTION_LIST, C_OpenSession) == 50, "entry 12");
#elif defined(__mips__)
static_assert(ORV_TABLE_HEADER == 4, "2 bytes of padding after the version");
static_assert(sizeof(CK_FUNCTION_LIST) == 276, "natural table of 68 entries");
static_assert(offsetof(CK_FUNCTION_LIST, C_OpenSession) == 52, "entry 12");
#else
static_assert(ORV_TABLE_HEADER == 8, "6 bytes of padding after the version");
static_assert(sizeof(CK_FUNCTION_LIST) == 552, "natural table of 68 entries");
static_assert(offsetof(CK_FUNCTION_LIST, C_OpenSession) == 104, "entry 12");
#endif
static_assert(ORV_TABLE_HEADER + ORV_TABLE_ENTRIES * sizeof(void *) == sizeof(CK_FUNCTION_LIST),
              "68 pointer-sized entries and nothing after them");

/* The address a module handle holds; null for the handle 0.  Only the
 * live records (live_modules.cpp) may turn it into a record to read. */
inline TokenModule *ModuleFromHandle(jlong handle) {
    return static_cast<TokenModule *>(NarrowAddress(handle));
}

/* A loaded record joins the live ones; false when that takes memory
 * there is none of (the load then fails). */
bool RegisterModule(TokenModule *module);

/* The live records (live_modules.cpp).  Every native finds its record
 * here and holds it while it runs, so the finding and holding are inline:
 * two atomic operations on the record's slot.  A slot's state counts the
 * natives inside in steps of 2; bit 0 says the record was unloaded. */
struct ModuleSlot {
    TokenModule *record;  /* atomic; null while the slot is free */
    uint32_t state;       /* atomic */
    ModuleSlot *next;     /* set before the slot is published, never changed */
};
extern ModuleSlot *live_slots;  /* atomic head; slots are only ever added */
#define ORV_SLOT_UNLOADED 1u
#define ORV_SLOT_INSIDE 2u
/* The last native to leave an unloaded record releases it. */
void ReleaseSlot(JNIEnv *env, ModuleSlot *slot);

inline bool HoldSlot(ModuleSlot *slot) {
    uint32_t state = __atomic_load_n(&slot->state, __ATOMIC_RELAXED);
    do {
        if (state & ORV_SLOT_UNLOADED) return false;
    } while (!__atomic_compare_exchange_n(&slot->state, &state, state + ORV_SLOT_INSIDE, true,
                                          __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
    return true;
}

inline void LetSlot(JNIEnv *env, ModuleSlot *slot) {
    if (__atomic_sub_fetch(&slot->state, ORV_SLOT_INSIDE, __ATOMIC_ACQ_REL) == ORV_SLOT_UNLOADED)
        ReleaseSlot(env, slot);
}

/* The live record of a handle, held until LeaveModule; null for 0 and for
 * any handle that is not live (unloaded, or never made).  A slot whose
 * record matched may be freed and taken by another record between the
 * look and the hold, so it is looked at again once held.  (A stale handle
 * that equals a new record's address finds that record: an address handle
 * cannot tell them apart.) */
inline TokenModule *EnterModule(JNIEnv *env, jlong handle) {
    TokenModule *wanted = ModuleFromHandle(handle);
    if (wanted == nullptr) return nullptr;
    for (ModuleSlot *slot = __atomic_load_n(&live_slots, __ATOMIC_ACQUIRE); slot != nullptr; slot = slot->next) {
        if (__atomic_load_n(&slot->record, __ATOMIC_ACQUIRE) != wanted || !HoldSlot(slot)) continue;
        if (__atomic_load_n(&slot->record, __ATOMIC_ACQUIRE) == wanted) return wanted;
        LetSlot(env, slot);
    }
    return nullptr;
}

/* Lets go of a held record. */
inline void LeaveModule(JNIEnv *env, TokenModule *module) { LetSlot(env, module->slot); }

/* unloadExternalModule: a live handle stops being one at once; its record,
 * its contexts and its library go as soon as no native holds it. */
void RetireModule(JNIEnv *env, jlong handle);

/* Releases whatever a load created (an owned table, the library, the
 * record); also the failure path of a load. */
void ReleaseModule(TokenModule *module);

/* Fills every entry but C_GetFunctionList by asking lookup(library, name)
 * for each name in case-insensitive alphabetical order.  Each result is
 * stored before it is tested; false at the first name the module lacks. */
typedef void *(*SymbolLookup)(void *library, const char *name);
bool ResolveByName(CK_FUNCTION_LIST *table, void *library, SymbolLookup lookup);

/* Notification contexts end with their session: closed alone, with all of
 * its slot, or with the whole module instance (finalised), through any
 * handle of that library; and with the handle they were opened through
 * when it is released. */
void EndSessionContexts(JNIEnv *env, TokenModule *module, jlong session);
void EndSlotContexts(JNIEnv *env, TokenModule *module, jlong slot);
void EndInstanceContexts(JNIEnv *env, TokenModule *module, jlong unused);
void EndHandleContexts(JNIEnv *env, TokenModule *module);

#endif
