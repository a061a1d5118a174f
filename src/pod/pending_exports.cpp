// Exports of this layer that are not built yet: each looks the handle up, then refuses
// with "unsupported function". Remove a function here when its real one lands.
#include "api/context.h"
#include "api/errors.h"

using namespace dorvane;

DORVANE_API uint32_t DORVANE_CALL x_setTrst(uint32_t handle, uint32_t tapId, int32_t level) {
    (void)tapId;
    (void)level;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_setVoltage(uint32_t handle, uint32_t arg1) {
    (void)arg1;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_setTapVoltage(uint32_t handle, uint32_t arg1, uint32_t arg2, uint32_t arg3) {
    (void)arg1;
    (void)arg2;
    (void)arg3;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_setTapMillivoltage(uint32_t handle, uint32_t arg1, uint32_t arg2, uint32_t arg3) {
    (void)arg1;
    (void)arg2;
    (void)arg3;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_setMultiTapMillivoltage(uint32_t handle, uint32_t arg1, uint32_t arg2, uint32_t arg3, uint32_t arg4) {
    (void)arg1;
    (void)arg2;
    (void)arg3;
    (void)arg4;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_getPodSignal(uint32_t handle, uint32_t arg1, uint32_t arg2, uint32_t arg3) {
    (void)arg1;
    (void)arg2;
    (void)arg3;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_setPodSignal(uint32_t handle, uint32_t arg1, uint32_t arg2, uint32_t arg3) {
    (void)arg1;
    (void)arg2;
    (void)arg3;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_tapDistribute(uint32_t handle, uint32_t arg1, uint32_t arg2) {
    (void)arg1;
    (void)arg2;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_kpxScanDirect(uint32_t handle, uint32_t tapId, const uint8_t* steps, uint32_t stepCount, uint32_t* mismatchCount) {
    (void)tapId;
    (void)steps;
    (void)stepCount;
    (void)mismatchCount;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}
