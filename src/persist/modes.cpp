// x_setMode: settings and actions that have no call of their own.
#include <cstring>
#include <new>

#include "core/context.h"
#include "core/errors.h"
#include "core/export_impl.h"
#include "persist/persist.h"
#include "transport/transport.h"

using namespace dorvane;

namespace {

// This layer's part of every controller context.
[[maybe_unused]] const bool kPartRegistered = registerContextPart(
    PersistPart::kId, []() -> ContextPart* { return new (std::nothrow) PersistPart(); });

enum : uint32_t { MODE_CYCLE_PORT = 5, MODE_QRIO_TAPS = 7, MODE_RECORD_8 = 8, MODE_RECORD_9 = 9, MODE_ONE_TCK_WAIT = 11 };

// The chip leaves the bus and comes back; the controller is closed and its handle ends.
uint32_t cyclePort(KpxContext* ctx, uint32_t handle) {
    uint32_t failed = 0;
    if (stopReceiveThread(ctx)) failed = 1;
    resetSessionState(ctx);
    refreshControllerInfo(ctx);
    if (cyclePortAndClose(ctx)) failed = 1;
    persist::forgetController(ctx->controllerAddress);
    releaseController(ctx, handle);
    return failed;
}

// The record's address goes into the parameter's first word; on 64-bit builds it takes a
// pointer-sized slot (words 0 and 1), as the pointer slots of the controller information do.
void handOut(uint32_t* params, const uint32_t* record) {
    const auto address = reinterpret_cast<uintptr_t>(record);
    std::memcpy(params, &address, sizeof address);
}

uint32_t qrioTaps(KpxContext* ctx, const uint32_t* list) {
    if (list[0] == 0) return 0;
    if (list[1] != 0) return fail(ctx, err::QRIO_LIST_TOO_LONG);
    return fail(ctx, list[0] == 1 ? err::NO_QRIO : err::ILLEGAL_TAP_ID);
}

}  // namespace

uint32_t impl::x_setMode(uint32_t handle, uint32_t modeId, uint32_t* params) {
    KpxContext* ctx = lookupRunningContext(handle, LOOKUP_REPORT);
    if (!ctx) return 1;
    ContextGuard guard(ctx);
    const bool known = modeId == MODE_CYCLE_PORT || modeId == MODE_QRIO_TAPS || modeId == MODE_RECORD_8 ||
                       modeId == MODE_RECORD_9 || modeId == MODE_ONE_TCK_WAIT;
    if (!known) return fail(ctx, err::INVALID_MODE_ID);
    if (!params) return fail(ctx, err::NULL_POINTER);
    switch (modeId) {
    case MODE_CYCLE_PORT:
        if (params[0] != 1) return fail(ctx, err::INVALID_CYCLE_TYPE);
        guard.release();   // the context ends with the cycle
        return cyclePort(ctx, handle);
    case MODE_QRIO_TAPS:
        return qrioTaps(ctx, params);
    case MODE_RECORD_8:
        persistOf(ctx).modeRecord8[0] = persistOf(ctx).modeRecord8[1] = 0;
        handOut(params, persistOf(ctx).modeRecord8);
        return 0;
    case MODE_RECORD_9: {
        static constexpr uint32_t kRecord9[6] = {1, 1, 0, 0, 0, 0};
        for (int i = 0; i < 6; ++i) persistOf(ctx).modeRecord9[i] = kRecord9[i];
        handOut(params, persistOf(ctx).modeRecord9);
        return 0;
    }
    default:   // MODE_ONE_TCK_WAIT
        if (params[0] > 1) return fail(ctx, err::INVALID_ONE_TCK);
        persistOf(ctx).waitBySleep = params[0] == 0 ? 1 : 0;
        return 0;
    }
}
