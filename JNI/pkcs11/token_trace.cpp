// How the token natives' calls are written into the trace.
#include "pkcs11/token_trace.h"

#include "pointer/registry.h"

void TraceTokenBegin(TraceLine *line, const TokenTrace &call) {
    TraceBegin(line, call.name);
    TraceAdd(line, "(module=0x%lx", TraceBits(NarrowAddress(call.handle)));
}

bool TraceTokenArgument(TraceLine *line, size_t index, unsigned unusable, const char *reason) {
    TraceAdd(line, ", ");
    if (reason == nullptr || !(unusable & (1u << index))) return false;
    TraceAdd(line, "<%s>", reason);
    return true;
}

// The 1-based position of the lowest bit set; unusable is never 0 here.
static unsigned FirstUnusable(unsigned unusable) {
    unsigned index = 0;
    while (!(unusable & 1u)) unusable >>= 1, index++;
    return index + 1;
}

void TraceTokenEnd(TraceLine *line, const TokenTrace &call) {
    TraceAdd(line, ")");
    switch (call.outcome) {
    case kTokenCalled: break;
    case kTokenNotLive:
        TraceAdd(line, call.handle == 0 ? " not called: no module handle" : " not called: the module handle is not live");
        break;
    case kTokenNoEntry: TraceAdd(line, " not called: no such entry in the module's table"); break;
    case kTokenRefused:
        if (call.unusable == 0)
            TraceAdd(line, " refused: no memory for the bridge's own record");
        else
            TraceAdd(line, " refused: argument %u cannot be passed", FirstUnusable(call.unusable));
        break;
    }
    TraceAdd(line, " = ");
    TraceRv(line, call.rv);
    if (call.outcome == kTokenCalled) TraceDuration(line, call.took);
    TraceEnd(line);
}

// Only a block the registry knows to be long enough is read: any other
// address may be one the module was never going to read (a refused call,
// a stale handle), and the trace must not be what faults.
static bool Readable(const void *block, size_t bytes) {
    BlockRecord record;
    return block != nullptr && RegistryLookup(const_cast<void *>(block), &record) &&
           bytes <= record.length;
}

void TraceMechanism(TraceLine *line, const void *block) {
    if (!Readable(block, sizeof(CK_MECHANISM))) return;
    CK_MECHANISM_TYPE type = static_cast<const CK_MECHANISM *>(block)->mechanism;
    TraceAdd(line, " {");
    TraceNamed(line, CkmName(type), type);
    TraceAdd(line, "}");
}

#define ORV_TEMPLATE_SHOWN 8

void TraceTemplate(TraceLine *line, const void *block, CK_ULONG count) {
    if (count == 0 || count > SIZE_MAX / sizeof(CK_ATTRIBUTE) ||
        !Readable(block, count * sizeof(CK_ATTRIBUTE)))
        return;
    const CK_ATTRIBUTE *attributes = static_cast<const CK_ATTRIBUTE *>(block);
    TraceAdd(line, " {");
    for (CK_ULONG i = 0; i < count && i < ORV_TEMPLATE_SHOWN; i++) {
        const char *name = CkaName(attributes[i].type);
        if (i > 0) TraceAdd(line, ", ");
        if (name != nullptr) TraceAdd(line, "%s", name);
        else TraceAdd(line, "0x%lx", static_cast<unsigned long>(attributes[i].type));
    }
    TraceAdd(line, count > ORV_TEMPLATE_SHOWN ? ", ...}" : "}");
}

void TraceNotification(CK_SESSION_HANDLE session, CK_NOTIFICATION event, const void *application,
                       const char *outcome, CK_RV rv) {
    TraceLine line;
    TraceBegin(&line, "notify");
    TraceAdd(&line, "(session=0x%lx, event=0x%lx, application=0x%lx) %s = ",
             static_cast<unsigned long>(session), static_cast<unsigned long>(event), TraceBits(application),
             outcome);
    TraceRv(&line, rv);
    TraceEnd(&line);
}

void TraceLoad(JNIEnv *env, jstring path, jlong handle) {
    TraceLine line;
    TraceBegin(&line, "loadExternalModule(");
    TraceJavaString(&line, env, path);
    TraceAdd(&line, handle != 0 ? ") = module 0x%lx" : ") = 0: not loaded", TraceBits(NarrowAddress(handle)));
    TraceEnd(&line);
}

void TraceUnload(jlong handle, bool live) {
    TraceLine line;
    TraceBegin(&line, "unloadExternalModule");
    TraceAdd(&line, live ? "(module=0x%lx)" : "(module=0x%lx) not live: nothing unloaded",
             TraceBits(NarrowAddress(handle)));
    TraceEnd(&line);
    if (live) TraceLiveObjects("at unloadExternalModule");
}

#define ORV_LIVE_SHOWN 16

void TraceLiveObjects(const char *when) {
    if (!TraceBlocksOn()) return;
    BlockRecord shown[ORV_LIVE_SHOWN];
    size_t live = RegistrySnapshot(shown, ORV_LIVE_SHOWN);
    TraceLine line;
    TraceBegin(&line, "live");
    TraceAdd(&line, " %s: %lu blocks, %lu sessions with notification contexts", when,
             static_cast<unsigned long>(live), static_cast<unsigned long>(LiveSessionContexts()));
    for (size_t i = 0; i < live && i < ORV_LIVE_SHOWN; i++)
        TraceAdd(&line, "%s0x%lx[%lu bytes, %d refs]", i == 0 ? ": " : ", ", TraceBits(shown[i].address),
                 static_cast<unsigned long>(shown[i].length), static_cast<int>(shown[i].refcount));
    if (live > ORV_LIVE_SHOWN) TraceAdd(&line, ", ...");
    TraceEnd(&line);
}

// The library is unloaded (or the process ends): what Java never freed.
__attribute__((destructor)) static void TraceAtUnload(void) {
    if (TraceBlocksOn()) TraceLiveObjects("at unload of the library");
}
