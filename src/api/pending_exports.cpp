// Exports of this layer that are not built yet: each looks the handle up, then refuses
// with "unsupported function". Remove a function here when its real one lands.
#include "api/context.h"
#include "api/errors.h"

using namespace dorvane;

DORVANE_API uint32_t DORVANE_CALL x_openKpx(uint32_t* handle, const char* address) {
    (void)handle;
    (void)address;
    return fail(nullptr, err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_closeKpx(uint32_t handle) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetControllerInfo(uint32_t handle, const DorvaneControllerInfo** info) {
    (void)info;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetControllerType(uint32_t handle, uint32_t* type) {
    (void)type;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetInterfaceType(uint32_t handle, uint32_t* interfaceType, uint32_t* logicalUnit, uint32_t* third) {
    (void)interfaceType;
    (void)logicalUnit;
    (void)third;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetPodType(uint32_t handle, uint32_t* podType) {
    (void)podType;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetTapType(uint32_t handle, int32_t tapId, uint32_t* tapType) {
    (void)tapId;
    (void)tapType;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxResetController(uint32_t handle) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}
