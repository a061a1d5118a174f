// The controller queries, the two error readers and the controller reset.
#include "core/context.h"
#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "transport/transport.h"

using namespace dorvane;

uint32_t impl::x_kpxGetControllerInfo(uint32_t handle, const DorvaneControllerInfo** info) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (!info) return fail(ctx.get(), err::NULL_POINTER);
    *info = &ctx->controllerInfo;
    return 0;
}

uint32_t impl::x_kpxGetControllerType(uint32_t handle, uint32_t* type) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (!type) return fail(ctx.get(), err::NULL_POINTER);
    *type = 9;
    return 0;
}

uint32_t impl::x_kpxGetInterfaceType(uint32_t handle, uint32_t* interfaceType,
                                                      uint32_t* logicalUnit, uint32_t* third) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (!interfaceType && !logicalUnit && !third) return fail(ctx.get(), err::NULL_POINTER);
    if (interfaceType) *interfaceType = 3;
    if (logicalUnit) *logicalUnit = ctx->logicalUnitNumber;
    if (third) *third = 0xFFFFFFFFu;
    return 0;
}

uint32_t impl::x_kpxGetPodType(uint32_t handle, uint32_t* podType) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (!podType) return fail(ctx.get(), err::NULL_POINTER);
    *podType = 128;
    return 0;
}

uint32_t impl::x_kpxGetTapType(uint32_t handle, int32_t tapId, uint32_t* tapType) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapId != 1) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (!tapType) return fail(ctx.get(), err::NULL_POINTER);
    *tapType = 128;
    return 0;
}

// Starts the controller over on the open device; the handle survives a failure.
uint32_t impl::x_kpxResetController(uint32_t handle) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (stopReceiveThread(ctx.get())) return 1;
    if (resetDevice(ctx.get())) return 1;
    resetTapState(ctx.get());
    return initController(ctx.get());
}

int32_t impl::x_kpxErrorNbr(uint32_t handle) {
    return findError(lastErrorFor(handle)).publicNumber;
}

const char* impl::x_kpxErrorMsg(uint32_t handle) {
    return findError(lastErrorFor(handle)).message;
}
