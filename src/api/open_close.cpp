// Opening and closing a controller through the handle layer.
#include "core/context.h"
#include "core/errors.h"
#include "core/export_impl.h"
#include "persist/persist.h"
#include "transport/transport.h"

using namespace dorvane;

uint32_t impl::x_openKpx(uint32_t* handle, const char* address) {
    if (!handle || !address) return fail(nullptr, err::NULL_POINTER);
    KpxContext* ctx = nullptr;
    if (openDevice(&ctx, handle, address)) return 1;
    // Left when the open succeeds; a failed open releases the context (and its lock) instead.
    ContextGuard held(ctx);
    const bool reset = resetDevice(ctx) == 0;
    if (reset && initController(ctx) == 0) return 0;
    if (reset) stopReceiveThread(ctx);
    closeDevice(ctx);
    releaseController(held.release(), *handle);
    *handle = 0xFFFFFFFFu;
    return 1;
}

uint32_t impl::x_closeKpx(uint32_t handle) {
    KpxContext* ctx = lookupContext(handle, LOOKUP_REPORT);
    if (!ctx) return 1;
    uint32_t failed = 0;
    if (stopReceiveThread(ctx)) failed = 1;
    resetSessionState(ctx);
    refreshControllerInfo(ctx);
    if (closeDevice(ctx)) failed = 1;
    persist::forgetController(ctx->controllerAddress);   // nothing of it is recorded
    releaseController(ctx, handle);
    return failed;
}
