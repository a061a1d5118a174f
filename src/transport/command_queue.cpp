// The MPSSE command queue: direct writes in pieces, or held back in commandBuffer and written
// in full pieces while buffering is on; the read-back in flight stays below 64 KiB.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "platform/platform.h"
#include "transport/internal.h"

namespace dorvane {

using namespace transport;

namespace detail {

uint32_t driverFailure(KpxContext* ctx, FtStatus st) {
    ctx->lastFtStatus = st;
    return fail(ctx, statusToError(st));
}

uint32_t writePiece(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t* written) {
    uint32_t n = 0;
    const FtStatus st = ftdiDriver().write(ctx->ftHandle, bytes, length, &n);
    *written = n;
    if (st != FT_OK) return driverFailure(ctx, st);
    if (n < length) return fail(ctx, err::WRITE_TIMEOUT);
    return 0;
}

}  // namespace detail

void resetWriteChunk(KpxContext* ctx) { ctx->writeChunk = kWriteChunk; }

uint32_t setDriverTimeouts(KpxContext* ctx, uint32_t readMs, uint32_t writeMs) {
    ctx->lastFtStatus = ftdiDriver().setTimeouts(ctx->ftHandle, readMs, writeMs);
    if (ctx->lastFtStatus != FT_OK) return fail(ctx, statusToError(ctx->lastFtStatus));
    return 0;
}

uint32_t growCommandBuffer(KpxContext* ctx, uint32_t additional) {
    // The allocation stays 568 bytes above the capacity, so the two bytes of a closing read
    // always fit without growing.
    if (!ctx->commandBuffer) {
        auto* p = static_cast<uint8_t*>(std::malloc(size_t(additional) + 768));
        if (!p) return fail(ctx, err::ALLOC);
        ctx->commandBuffer = p;
        ctx->commandBufferLength = 0;
        ctx->commandBufferCapacity = additional + 200;
        return 0;
    }
    if (ctx->commandBufferCapacity > ctx->commandBufferLength + additional) return 0;
    const size_t want = size_t(ctx->commandBufferLength) + additional + 768;
    auto* p = static_cast<uint8_t*>(std::realloc(ctx->commandBuffer, want));
    if (!p) return fail(ctx, err::ALLOC);
    ctx->commandBuffer = p;
    ctx->commandBufferCapacity = ctx->commandBufferLength + additional + 200;
    return 0;
}

uint32_t waitForReadRoom(KpxContext* ctx) {
    const uint32_t start = platform::millisecondTimer();
    for (bool served = false;; served = !served) {
        if (ctx->threadLock.lockFor(10000)) {
            {
                platform::LockGuard held(ctx->threadLock, platform::adoptLock);
                const uint32_t got = ctx->receivedHandover;
                ctx->pendingReadBytes = ctx->pendingReadBytes > got ? ctx->pendingReadBytes - got : 0;
                ctx->receivedHandover = 0;
            }
            if (ctx->pendingReadBytes < kReadBackLimit) return 0;
        }
        const uint32_t waited = platform::millisecondTimer() - start;
        if (waited >= 60000) return fail(ctx, err::KPX_READ_TIMEOUT);
        // First serve what has arrived here; then wait for the receive thread, which signals
        // each hand-over of its received count.
        if (!served) detail::serveAsCaller(ctx);
        else detail::awaitReceiver(ctx, std::min<uint32_t>(60000 - waited, 1000));
    }
}

namespace {

// Room check, then one piece written whole.
uint32_t roomAndWrite(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t* written) {
    if (ctx->pendingReadBytes + ctx->writeChunk > kReadBackLimit && waitForReadRoom(ctx)) return 1;
    return detail::writePiece(ctx, bytes, length, written);
}

}  // namespace

uint32_t queueCommands(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t readBytes) {
    if (length == 0) return 0;
    if (const uint32_t te = detail::threadErrorOf(ctx)) return fail(ctx, te);
    if (ctx->writeChunk == 0) resetWriteChunk(ctx);
    const uint32_t chunk = ctx->writeChunk;

    if (ctx->bufferingType == 0) {
        // Answers an unbuffered operation waits for are served by the caller itself.
        if (readBytes) detail::claimServing(ctx);
        uint32_t pos = 0, credited = 0;
        while (pos < length) {
            const uint32_t piece = std::min(length - pos, chunk);
            uint32_t written = 0;
            if (roomAndWrite(ctx, bytes + pos, piece, &written)) {
                if (readBytes) detail::releaseServing(ctx);
                // Unbuffered, only this operation's records are pending, and the chip will
                // never answer them in step: drop them so that no later wait waits for them.
                if (ctx->resultLock.lockFor(60000)) {
                    platform::LockGuard held(ctx->resultLock, platform::adoptLock);
                    detail::dropUndelivered(ctx);
                }
                return 1;
            }
            const uint32_t credit = std::min(written, readBytes - credited);
            ctx->pendingReadBytes += credit;
            credited += credit;
            pos += written;
        }
        return 0;
    }

    const uint32_t before = ctx->commandBufferLength;
    if (growCommandBuffer(ctx, length)) return 1;
    if (length < chunk - before) {
        std::memcpy(ctx->commandBuffer + before, bytes, length);
        ctx->commandBufferLength = before + length;
        ctx->pendingReadBytes += readBytes;
        return 0;
    }
    // Fill the buffer to exactly one piece; write it when it held bytes of earlier calls.
    const uint32_t first = chunk - before;
    std::memcpy(ctx->commandBuffer + before, bytes, first);
    const uint8_t* rest = bytes;
    uint32_t restLength = length;
    if (before > 0) {
        uint32_t written = 0;
        if (roomAndWrite(ctx, ctx->commandBuffer, chunk, &written)) return 1;
        ctx->pendingReadBytes += std::min(written, readBytes);
        ctx->commandBufferLength = 0;
        rest = bytes + first;
        restLength = length - first;
    }
    while (restLength >= chunk) {
        uint32_t written = 0;
        if (roomAndWrite(ctx, rest, chunk, &written)) return 1;
        rest += chunk;
        restLength -= chunk;
    }
    std::memcpy(ctx->commandBuffer, rest, restLength);
    ctx->commandBufferLength = restLength;
    return 0;
}

}  // namespace dorvane
