// KpxContext: one per open controller, reached only through its handle (core/handles.cpp).
// Core holds the identity, the lock, the last error and the information record; each layer
// above keeps its own fields in a part (ContextPart) declared in its header.
#pragma once

#include <cstdint>
#include <memory>

#include "dorvane/dorvane.h"
#include "platform/platform.h"

namespace dorvane {

constexpr uint32_t kTapSlots = 2;   // per-TAP arrays are indexed by TAP id; only id 1 exists

// A layer's share of the controller context. Each layer declares its part in its own header
// and registers a factory for it, so core creates and frees the parts without knowing them.
struct ContextPart {
    virtual ~ContextPart() = default;
};

// Which slot of KpxContext::parts a layer's part occupies.
enum class PartId : uint32_t { Transport = 0, Swd, Persist, Jtag, Count };

using PartFactory = ContextPart* (*)();   // a new part, or null when memory ran out
// Called once per part, while the library loads (a namespace-scope initialiser of the layer).
bool registerContextPart(PartId id, PartFactory factory);

struct KpxContext {
    uint32_t handle = 0;
    platform::Lock contextLock;
    char serialNumber[64] = {};
    uint32_t logicalUnitNumber = 0;
    char controllerAddress[64] = {};
    uint32_t lastError = 0;

    // The controller information record and the value words it points to.
    DorvaneControllerInfo controllerInfo = {};
    uint32_t infoValueWords[4] = {};

    // Every registered part, created with the context (allocateContext).
    std::unique_ptr<ContextPart> parts[static_cast<size_t>(PartId::Count)];

    template <class Part>
    Part& part() {
        return static_cast<Part&>(*parts[static_cast<size_t>(Part::kId)]);
    }
    template <class Part>
    const Part& part() const {
        return static_cast<const Part&>(*parts[static_cast<size_t>(Part::kId)]);
    }
};

// Lookup flags.
constexpr uint32_t LOOKUP_REPORT = 0x1;

// Handle table (core/handles.cpp).
KpxContext* allocateContext(uint32_t* handle);
KpxContext* lookupContext(uint32_t handle, uint32_t flags);
// Normally called while holding the context's contextLock (from allocateContext or
// lookupContext): the lock is destroyed with the context, so a ContextGuard over it must be
// release()d first.
void releaseContext(uint32_t handle);
uint32_t lockWithTimeout(platform::Lock& lock, uint32_t timeoutMs);   // 0 taken, 1 timed out
// Number of controllers whose contexts are still in the handle table.
uint32_t openContextCount();
// One past the highest handle the table can hold now (1 while there is no table).
uint32_t handleLimit();
// Frees the table when no controller is left in it (the library's unload); true when freed.
bool releaseHandleTable();

// Fills the controller information record (core/controller_info.cpp) from the identity and
// the clock and TRST figures the transport holds (transport: refreshControllerInfo).
void fillControllerInfo(KpxContext* ctx, int32_t maxTckKHz, uint32_t tckKHz, bool hasTrst);

// Leaves contextLock when the exported call returns, on every path.
class ContextGuard {
public:
    explicit ContextGuard(KpxContext* ctx) : ctx_(ctx) {}
    ~ContextGuard() { if (ctx_) ctx_->contextLock.unlock(); }
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;
    KpxContext* get() const { return ctx_; }
    KpxContext* operator->() const { return ctx_; }
    explicit operator bool() const { return ctx_ != nullptr; }
    KpxContext* release() { KpxContext* c = ctx_; ctx_ = nullptr; return c; }
private:
    KpxContext* ctx_;
};

}  // namespace dorvane
