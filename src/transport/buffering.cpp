// Scan buffering: command bytes held back and written in full pieces, results delivered
// later; the host switches it, flushes, discards or sends with x_scanSetBuffering.
#include <cstdlib>

#include "core/errors.h"
#include "core/export_impl.h"
#include "transport/internal.h"

namespace dorvane {

uint32_t enableBuffering(KpxContext* ctx, uint32_t type) {
    ctx->bufferingType = type;
    resetWriteChunk(ctx);
    if (!ctx->commandBuffer && growCommandBuffer(ctx, 0)) return 1;
    return 0;
}

uint32_t flushBuffering(KpxContext* ctx) {
    if (ctx->bufferingType == 0 || ctx->setupFlags == 0 || ctx->commandBufferLength == 0) return 0;
    // The closing read fits in the spare room the buffer always keeps.
    ctx->commandBuffer[ctx->commandBufferLength++] = 0x83;
    ctx->commandBuffer[ctx->commandBufferLength++] = 0x87;
    ResultRecord* rec = newResultRecord(ctx);
    if (!rec) return 1;
    rec->bitCount = 8;
    rec->lastBitPosition = 7;
    ctx->pendingReadBytes += 1;
    return waitForResults(ctx, WAIT_ALL);
}

uint32_t disableBuffering(KpxContext* ctx) {
    if (ctx->bufferingType == 0 && !ctx->commandBuffer) return 0;
    const uint32_t rc = flushBuffering(ctx);
    ctx->bufferingType = 0;
    if (rc == 0) resetWriteChunk(ctx);
    std::free(ctx->commandBuffer);
    ctx->commandBuffer = nullptr;
    ctx->commandBufferCapacity = 0;
    ctx->commandBufferLength = 0;
    return rc;
}

}  // namespace dorvane

using namespace dorvane;

uint32_t impl::x_scanSetBuffering(uint32_t handle, uint32_t type) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    const bool on = c->bufferingType != 0;
    switch (type) {
    case 0: return on ? disableBuffering(c) : 0;
    case 1:
    case 9:
        if (on && c->bufferingType == type) return 0;
        return enableBuffering(c, type);
    case 2: return on ? flushBuffering(c) : 0;
    case 3: return on ? waitForResults(c, WAIT_DISCARD) : 0;
    case 4: return on ? waitForResults(c, WAIT_SEND) : 0;
    case 128: return 0xFFFFFFFFu;
    default: return fail(c, err::INVALID_BUFFERING);
    }
}
