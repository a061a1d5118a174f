// The controller queries, the controller information record and the controller reset.
#include <cstring>

#include "api/context.h"
#include "api/errors.h"
#include "transport/transport.h"

namespace dorvane {

namespace {

// Each pair is its own constant object; hosts compare these pointers and read the values.
constexpr uint32_t kPair56[2] = {128, 0};
constexpr uint32_t kPair60[2] = {0, 0};
constexpr uint32_t kPair64[2] = {0, 0};
constexpr uint32_t kPair104[2] = {1, 0};
constexpr uint32_t kPair108[2] = {128, 0};
constexpr uint32_t kPair112[2] = {0, 0};
constexpr uint32_t kPair116[2] = {0, 0};
constexpr uint32_t kPair124[2] = {0, 0};
constexpr uint32_t kPair128[2] = {0, 0};
constexpr uint32_t kPair132[2] = {0, 0};
constexpr uint32_t kPair140[2] = {0, 0};

}  // namespace

void fillControllerInfo(KpxContext* ctx) {
    DorvaneControllerInfo& r = ctx->controllerInfo;
    std::memset(&r, 0, sizeof r);
    std::memset(ctx->infoValueWords, 0, sizeof ctx->infoValueWords);
    r.identification = 0x80671C0Fu;
    r.word8 = 2;
    r.controllerType = 9;
    r.maxTckKHz = ctx->maxTckKHz;
    r.word20 = 1;
    r.podTapType = 128;
    r.word52 = 1;
    r.pair56 = kPair56;
    r.pair60 = kPair60;
    r.pair64 = kPair64;
    r.value68 = &ctx->infoValueWords[0];
    r.tckKHz = ctx->tckKHz;
    r.word76 = 4095;
    r.capabilities = ctx->trstBus ? 0x80Bu : 0x80Au;
    r.serialNumber = ctx->serialNumber;
    r.word100 = 1;
    r.pair104 = kPair104;
    r.pair108 = kPair108;
    r.pair112 = kPair112;
    r.pair116 = kPair116;
    r.value120 = &ctx->infoValueWords[1];
    r.pair124 = kPair124;
    r.pair128 = kPair128;
    r.pair132 = kPair132;
    r.value136 = &ctx->infoValueWords[2];
    r.pair140 = kPair140;
}

}  // namespace dorvane

using namespace dorvane;

DORVANE_API uint32_t DORVANE_CALL x_kpxGetControllerInfo(uint32_t handle, const DorvaneControllerInfo** info) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    if (!info) return fail(ctx.get(), err::NULL_POINTER);
    *info = &ctx->controllerInfo;
    return 0;
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetControllerType(uint32_t handle, uint32_t* type) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    if (!type) return fail(ctx.get(), err::NULL_POINTER);
    *type = 9;
    return 0;
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetInterfaceType(uint32_t handle, uint32_t* interfaceType,
                                                      uint32_t* logicalUnit, uint32_t* third) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    if (!interfaceType && !logicalUnit && !third) return fail(ctx.get(), err::NULL_POINTER);
    if (interfaceType) *interfaceType = 3;
    if (logicalUnit) *logicalUnit = ctx->logicalUnitNumber;
    if (third) *third = 0xFFFFFFFFu;
    return 0;
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetPodType(uint32_t handle, uint32_t* podType) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    if (!podType) return fail(ctx.get(), err::NULL_POINTER);
    *podType = 128;
    return 0;
}

DORVANE_API uint32_t DORVANE_CALL x_kpxGetTapType(uint32_t handle, int32_t tapId, uint32_t* tapType) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    if (tapId != 1) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (!tapType) return fail(ctx.get(), err::NULL_POINTER);
    *tapType = 128;
    return 0;
}

// Starts the controller over on the open device; the handle survives a failure.
DORVANE_API uint32_t DORVANE_CALL x_kpxResetController(uint32_t handle) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (stopReceiveThread(ctx.get())) return 1;
    if (resetDevice(ctx.get())) return 1;
    return initController(ctx.get());
}
