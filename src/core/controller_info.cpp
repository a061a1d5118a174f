// The controller information record: the fixed values and those that follow the context.
#include <cstring>

#include "core/context.h"

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

void fillControllerInfo(KpxContext* ctx, int32_t maxTckKHz, uint32_t tckKHz, bool hasTrst) {
    DorvaneControllerInfo& r = ctx->controllerInfo;
    std::memset(&r, 0, sizeof r);
    std::memset(ctx->infoValueWords, 0, sizeof ctx->infoValueWords);
    r.identification = 0x80671C0Fu;
    r.word8 = 2;
    r.controllerType = 9;
    r.maxTckKHz = maxTckKHz;
    r.word20 = 1;
    r.podTapType = 128;
    r.word52 = 1;
    r.pair56 = kPair56;
    r.pair60 = kPair60;
    r.pair64 = kPair64;
    r.value68 = &ctx->infoValueWords[0];
    r.tckKHz = tckKHz;
    r.word76 = 4095;
    r.capabilities = hasTrst ? 0x80Bu : 0x80Au;
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

