// The records behind live module handles.
//
// A module handle is its record's address, and Java may pass one that was
// unloaded already (or never made).  So every native first finds its
// record among the live ones and holds it while it runs.  Unloading a
// record that natives are using only marks it; the last of them to leave
// releases it.  No native reads a released record, and no module code is
// left running in a library that was closed under it.
//
// One slot per live record.  Slots are never freed, only reused, so any
// thread may read any slot at any time: finding and holding a record take
// no lock, two atomic operations on its slot.  A slot's state counts the
// natives inside in steps of 2; bit 0 says the record was unloaded.  Once
// bit 0 is set nobody new gets in, and whoever brings the count to 0 with
// the bit set releases the record, exactly once.
#include <stdlib.h>

#include "pkcs11/token_module.h"
#include "pkcs11/token_trace.h"
#include "runtime/lock.h"

ModuleSlot *live_slots;
static OrvLock slots_lock = ORV_LOCK_INIT;  // taking and freeing slots

// The record is taken off its slot before the slot is cleared: whoever
// holds the cleared slot next finds no record there, or a new one.
void ReleaseSlot(JNIEnv *env, ModuleSlot *slot) {
    TokenModule *module = __atomic_load_n(&slot->record, __ATOMIC_ACQUIRE);
    LockAcquire(&slots_lock);
    __atomic_store_n(&slot->record, static_cast<TokenModule *>(nullptr), __ATOMIC_RELEASE);
    __atomic_store_n(&slot->state, 0u, __ATOMIC_RELEASE);
    LockRelease(&slots_lock);
    EndHandleContexts(env, module);
    ReleaseModule(module);
}

bool RegisterModule(TokenModule *module) {
    LockAcquire(&slots_lock);
    ModuleSlot *slot = __atomic_load_n(&live_slots, __ATOMIC_ACQUIRE);
    while (slot != nullptr && __atomic_load_n(&slot->record, __ATOMIC_ACQUIRE) != nullptr) slot = slot->next;
    if (slot == nullptr) {
        slot = static_cast<ModuleSlot *>(calloc(1, sizeof(ModuleSlot)));
        if (slot != nullptr) {
            slot->next = __atomic_load_n(&live_slots, __ATOMIC_RELAXED);
            __atomic_store_n(&live_slots, slot, __ATOMIC_RELEASE);
        }
    }
    if (slot != nullptr) {
        module->slot = slot;
        __atomic_store_n(&slot->record, module, __ATOMIC_RELEASE);
    }
    LockRelease(&slots_lock);
    return slot != nullptr;
}

void RetireModule(JNIEnv *env, jlong handle) {
    TokenModule *module = EnterModule(env, handle);
    if (TraceOn()) TraceUnload(handle, module != nullptr);
    if (module == nullptr) return;
    ModuleSlot *slot = module->slot;
    __atomic_fetch_or(&slot->state, ORV_SLOT_UNLOADED, __ATOMIC_ACQ_REL);
    LetSlot(env, slot);
}
