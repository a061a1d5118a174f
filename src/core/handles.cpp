// The handle table: maps handles (slot index + 1) to controller contexts.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/context.h"
#include "core/errors.h"
#include "core/locks.h"

namespace dorvane {

namespace {

constexpr uint32_t kInitialSlots = 16;
constexpr uint32_t kLookupTimeoutMs = 50;
constexpr uint32_t kInvalidHandle = 0xFFFFFFFFu;

// All three guarded by tableLock. The table lives until the library unloads.
KpxContext** g_handleTable = nullptr;
int32_t g_handleMask = 0;     // slots - 1; 0 while there is no table
uint32_t g_handleHint = 0;    // where the next search for a free slot starts

// Slot of a handle, or null when the handle does not name an occupied slot.
// Handle 0 wraps to all ones and so fails the mask test.
KpxContext** slotOf(uint32_t handle) {
    if (g_handleMask <= 0) return nullptr;
    uint32_t index = handle - 1;
    if (index & ~static_cast<uint32_t>(g_handleMask)) return nullptr;
    return &g_handleTable[index];
}

// Doubles the table (or creates it). 0 on success; 1 with error 5 recorded.
uint32_t growTable() {
    if (g_handleMask == 0) {
        auto* table = static_cast<KpxContext**>(std::calloc(kInitialSlots, sizeof(KpxContext*)));
        if (!table) return fail(nullptr, err::ALLOC);
        g_handleTable = table;
        g_handleMask = static_cast<int32_t>(kInitialSlots - 1);
        return 0;
    }
    int64_t newMask = 2 * static_cast<int64_t>(g_handleMask) + 1;
    if (newMask > INT32_MAX) return fail(nullptr, err::ALLOC);
    size_t oldSlots = static_cast<size_t>(g_handleMask) + 1;
    size_t newSlots = static_cast<size_t>(newMask) + 1;
    if (newSlots > SIZE_MAX / sizeof(KpxContext*)) return fail(nullptr, err::ALLOC);
    auto* table = static_cast<KpxContext**>(std::realloc(g_handleTable, newSlots * sizeof(KpxContext*)));
    if (!table) return fail(nullptr, err::ALLOC);
    std::memset(table + oldSlots, 0, (newSlots - oldSlots) * sizeof(KpxContext*));
    g_handleTable = table;
    // The search resumes at the old table's last slot and so reaches the new half next.
    g_handleHint = static_cast<uint32_t>(g_handleMask);
    g_handleMask = static_cast<int32_t>(newMask);
    return 0;
}

// Searches circularly from the hint; true with the hint on a free slot.
bool findFreeSlot() {
    if (g_handleMask <= 0) return false;
    uint32_t slots = static_cast<uint32_t>(g_handleMask) + 1;
    for (uint32_t examined = 0; examined < slots; ++examined) {
        if (!g_handleTable[g_handleHint]) return true;
        g_handleHint = (g_handleHint + 1) & static_cast<uint32_t>(g_handleMask);
    }
    return false;
}

// Filled while the library loads (each layer's registration), read-only afterwards.
PartFactory g_partFactories[static_cast<size_t>(PartId::Count)] = {};

}  // namespace

bool registerContextPart(PartId id, PartFactory factory) {
    g_partFactories[static_cast<size_t>(id)] = factory;
    return true;
}

KpxContext* allocateContext(uint32_t* handle) {
    *handle = kInvalidHandle;
    platform::LockGuard table(tableLock());
    while (!findFreeSlot()) {
        if (growTable()) return nullptr;
    }

    uint32_t index = g_handleHint;
    std::unique_ptr<KpxContext> made(new (std::nothrow) KpxContext());
    if (!made) {
        recordError(nullptr, err::ALLOC);
        return nullptr;
    }
    for (size_t i = 0; i < static_cast<size_t>(PartId::Count); ++i) {
        made->parts[i].reset(g_partFactories[i] ? g_partFactories[i]() : nullptr);
        if (!made->parts[i]) {
            recordError(nullptr, err::MEMORY_ALLOCATION);
            return nullptr;
        }
    }
    KpxContext* ctx = made.release();
    g_handleTable[index] = ctx;

    // The lock is new and so free; taking it by a try keeps tableLock -> contextLock a polling
    // order everywhere, the order releaseContext reverses (see lookupContext).
    if (!ctx->contextLock.tryLock()) ctx->contextLock.lock();
    ctx->handle = index + 1;
    *handle = ctx->handle;
    return ctx;
}

KpxContext* lookupContext(uint32_t handle, uint32_t flags) {
    platform::LockGuard table(tableLock());
    KpxContext** slot = slotOf(handle);
    if (!slot || !*slot) {
        if (flags & LOOKUP_REPORT) recordError(nullptr, err::INVALID_KPX_HANDLE);
        return nullptr;
    }
    KpxContext* ctx = *slot;
    // Waiting with tableLock held bounds how long a busy controller can delay the others.
    if (lockWithTimeout(ctx->contextLock, kLookupTimeoutMs)) {
        if (flags & LOOKUP_REPORT) recordError(nullptr, err::HANDLE_IN_USE);
        return nullptr;
    }
    return ctx;
}

void releaseContext(uint32_t handle) {
    platform::LockGuard table(tableLock());
    KpxContext** slot = slotOf(handle);
    if (!slot || !*slot) return;
    KpxContext* ctx = *slot;
    // The transport has freed its result list and command buffer (releaseTransport).

    *slot = nullptr;
    // The caller normally still holds contextLock; a platform lock may be destroyed by the
    // thread that holds it. Nobody else can reach the context: its slot is empty and every
    // lookup waits for it under tableLock, which we hold.
    delete ctx;
}

uint32_t lockWithTimeout(platform::Lock& lock, uint32_t timeoutMs) { return lock.lockFor(timeoutMs) ? 0 : 1; }

uint32_t openContextCount() {
    platform::LockGuard table(tableLock());
    uint32_t count = 0;
    if (g_handleMask > 0) {
        for (uint32_t i = 0; i <= static_cast<uint32_t>(g_handleMask); ++i) count += g_handleTable[i] != nullptr;
    }
    return count;
}

bool releaseHandleTable() {
    platform::LockGuard table(tableLock());
    if (g_handleMask > 0) {
        for (uint32_t i = 0; i <= static_cast<uint32_t>(g_handleMask); ++i)
            if (g_handleTable[i]) return false;
    }
    std::free(g_handleTable);
    g_handleTable = nullptr;
    g_handleMask = 0;
    g_handleHint = 0;
    return true;
}

uint32_t handleLimit() {
    platform::LockGuard table(tableLock());
    return g_handleMask > 0 ? static_cast<uint32_t>(g_handleMask) + 2 : 1;
}

}  // namespace dorvane
