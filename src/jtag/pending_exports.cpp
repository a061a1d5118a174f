// Exports of this layer that are not built yet: each looks the handle up, then refuses
// with "unsupported function". Remove a function here when its real one lands.
#include "api/context.h"
#include "api/errors.h"

using namespace dorvane;

DORVANE_API uint32_t DORVANE_CALL x_scanAssumeState(uint32_t handle, uint32_t tapId, int32_t state) {
    (void)tapId;
    (void)state;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanGetState(uint32_t handle, uint32_t tapId, uint32_t* state) {
    (void)tapId;
    (void)state;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanSetStopState(uint32_t handle, int32_t state) {
    (void)state;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_moveToState(uint32_t handle, uint32_t tapId, int32_t state) {
    (void)tapId;
    (void)state;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_commonMoveToState(uint32_t handle, uint32_t tapMask, int32_t state) {
    (void)tapMask;
    (void)state;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_commonMoveToStateTl(uint32_t handle, const uint32_t* tapList, uint32_t listLength, int32_t state) {
    (void)tapList;
    (void)listLength;
    (void)state;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_tmsReset(uint32_t handle, uint32_t tapId) {
    (void)tapId;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_trstReset(uint32_t handle, uint32_t tapId) {
    (void)tapId;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanToPauseIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanToPauseDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanTdio(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanIrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanDrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanToPauseIrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanToPauseDrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanTdioCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanLIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanLDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanLToPauseDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)tdo;
    (void)expected;
    (void)mask;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_multiScanIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint32_t count) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)count;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_multiScanDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint32_t count, uint16_t* tdo) {
    (void)tapId;
    (void)tdi;
    (void)bitCount;
    (void)count;
    (void)tdo;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_getCmpErrors(uint32_t handle, uint32_t* errorFlag) {
    (void)errorFlag;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_clearCmpErrors(uint32_t handle) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanProtocol(uint32_t handle, uint32_t tapId, uint32_t protocol) {
    (void)tapId;
    (void)protocol;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_setScanFrequency(uint32_t handle, int32_t kHz) {
    (void)kHz;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_waitTck(uint32_t handle, uint32_t count) {
    (void)count;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_waitTime(uint32_t handle, uint32_t time, uint32_t unit) {
    (void)time;
    (void)unit;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

DORVANE_API uint32_t DORVANE_CALL x_scanSetTckIdleState(uint32_t handle, uint32_t idleState) {
    (void)idleState;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}
