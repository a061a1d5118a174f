// Scan buffering: command bytes held back and written in full pieces, results delivered
// later; the host switches it, flushes, discards or sends with x_scanSetBuffering.
#include <cstdlib>

#include "core/errors.h"
#include "core/export_impl.h"
#include "transport/internal.h"

namespace dorvane {

uint32_t enableBuffering(KpxContext* ctx, uint32_t type) {
    transportOf(ctx).bufferingType = type;
    resetWriteChunk(ctx);
    if (!transportOf(ctx).commandBuffer && growCommandBuffer(ctx, 0)) return 1;
    return 0;
}

uint32_t flushBuffering(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (tp.bufferingType == 0 || tp.setupFlags == 0 || tp.commandBufferLength == 0) return 0;
    // The closing read fits in the spare room the buffer always keeps.
    tp.commandBuffer[tp.commandBufferLength++] = 0x83;
    tp.commandBuffer[tp.commandBufferLength++] = 0x87;
    ResultRecord* rec = newResultRecord(ctx);
    if (!rec) return 1;
    rec->bitCount = 8;
    rec->lastBitPosition = 7;
    tp.pendingReadBytes += 1;
    return waitForResults(ctx, WAIT_ALL);
}

uint32_t disableBuffering(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (tp.bufferingType == 0 && !tp.commandBuffer) return 0;
    const uint32_t rc = flushBuffering(ctx);
    tp.bufferingType = 0;
    if (rc == 0) resetWriteChunk(ctx);
    std::free(tp.commandBuffer);
    tp.commandBuffer = nullptr;
    tp.commandBufferCapacity = 0;
    tp.commandBufferLength = 0;
    return rc;
}

uint32_t pauseBuffering(KpxContext* ctx) {
    if (transportOf(ctx).bufferingType == 0) return 0;
    if (flushBuffering(ctx)) return 1;
    transportOf(ctx).bufferingType = 0;
    resetWriteChunk(ctx);
    return 0;
}

void restoreBuffering(KpxContext* ctx, uint32_t type) {
    transportOf(ctx).bufferingType = type;
}

}  // namespace dorvane

using namespace dorvane;

uint32_t impl::x_scanSetBuffering(uint32_t handle, uint32_t type) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    const bool on = transportOf(c).bufferingType != 0;
    switch (type) {
    case 0: return on ? disableBuffering(c) : 0;
    case 1:
    case 9:
        if (on && transportOf(c).bufferingType == type) return 0;
        return enableBuffering(c, type);
    case 2: return on ? flushBuffering(c) : 0;
    case 3: return on ? waitForResults(c, WAIT_DISCARD) : 0;
    case 4: return on ? waitForResults(c, WAIT_SEND) : 0;
    case 128: return 0xFFFFFFFFu;
    default: return fail(c, err::INVALID_BUFFERING);
    }
}
