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
    transportOf(ctx).lastFtStatus = st;
    return fail(ctx, statusToError(st));
}

uint32_t writePiece(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t* written) {
    uint32_t n = 0;
    const FtStatus st = ftdiDriver().write(transportOf(ctx).ftHandle, bytes, length, &n);
    *written = n;
    if (st != FT_OK) return driverFailure(ctx, st);
    if (n < length) return fail(ctx, err::WRITE_TIMEOUT);
    return 0;
}

}  // namespace detail

void resetWriteChunk(KpxContext* ctx) { transportOf(ctx).writeChunk = kWriteChunk; }

uint32_t setDriverTimeouts(KpxContext* ctx, uint32_t readMs, uint32_t writeMs) {
    TransportPart& tp = transportOf(ctx);
    tp.lastFtStatus = ftdiDriver().setTimeouts(tp.ftHandle, readMs, writeMs);
    if (tp.lastFtStatus != FT_OK) return fail(ctx, statusToError(tp.lastFtStatus));
    return 0;
}

uint32_t growCommandBuffer(KpxContext* ctx, uint32_t additional) {
    TransportPart& tp = transportOf(ctx);
    // The allocation stays 568 bytes above the capacity, so the two bytes of a closing read
    // always fit without growing.
    if (!tp.commandBuffer) {
        auto* p = static_cast<uint8_t*>(std::malloc(size_t(additional) + 768));
        if (!p) return fail(ctx, err::ALLOC);
        tp.commandBuffer = p;
        tp.commandBufferLength = 0;
        tp.commandBufferCapacity = additional + 200;
        return 0;
    }
    if (tp.commandBufferCapacity > tp.commandBufferLength + additional) return 0;
    const size_t want = size_t(tp.commandBufferLength) + additional + 768;
    auto* p = static_cast<uint8_t*>(std::realloc(tp.commandBuffer, want));
    if (!p) return fail(ctx, err::ALLOC);
    tp.commandBuffer = p;
    tp.commandBufferCapacity = tp.commandBufferLength + additional + 200;
    return 0;
}

uint32_t waitForReadRoom(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    const uint32_t start = platform::millisecondTimer();
    for (bool served = false;; served = !served) {
        if (tp.threadLock.lockFor(10000)) {
            {
                platform::LockGuard held(tp.threadLock, platform::adoptLock);
                const uint32_t got = tp.receivedHandover;
                tp.pendingReadBytes = tp.pendingReadBytes > got ? tp.pendingReadBytes - got : 0;
                tp.receivedHandover = 0;
            }
            if (tp.pendingReadBytes < kReadBackLimit) return 0;
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
    const TransportPart& tp = transportOf(ctx);
    if (tp.pendingReadBytes + tp.writeChunk > kReadBackLimit && waitForReadRoom(ctx)) return 1;
    return detail::writePiece(ctx, bytes, length, written);
}

}  // namespace

uint32_t queueCommands(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t readBytes) {
    TransportPart& tp = transportOf(ctx);
    if (length == 0) return 0;
    if (const uint32_t te = detail::threadErrorOf(ctx)) return fail(ctx, te);
    if (tp.writeChunk == 0) resetWriteChunk(ctx);
    const uint32_t chunk = tp.writeChunk;

    if (tp.bufferingType == 0) {
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
                if (tp.resultLock.lockFor(60000)) {
                    platform::LockGuard held(tp.resultLock, platform::adoptLock);
                    detail::dropUndelivered(ctx);
                }
                return 1;
            }
            const uint32_t credit = std::min(written, readBytes - credited);
            tp.pendingReadBytes += credit;
            credited += credit;
            pos += written;
        }
        return 0;
    }

    const uint32_t before = tp.commandBufferLength;
    if (growCommandBuffer(ctx, length)) return 1;
    if (length < chunk - before) {
        std::memcpy(tp.commandBuffer + before, bytes, length);
        tp.commandBufferLength = before + length;
        tp.pendingReadBytes += readBytes;
        return 0;
    }
    // Fill the buffer to exactly one piece; write it when it held bytes of earlier calls.
    const uint32_t first = chunk - before;
    std::memcpy(tp.commandBuffer + before, bytes, first);
    const uint8_t* rest = bytes;
    uint32_t restLength = length;
    if (before > 0) {
        uint32_t written = 0;
        if (roomAndWrite(ctx, tp.commandBuffer, chunk, &written)) return 1;
        tp.pendingReadBytes += std::min(written, readBytes);
        tp.commandBufferLength = 0;
        rest = bytes + first;
        restLength = length - first;
    }
    while (restLength >= chunk) {
        uint32_t written = 0;
        if (roomAndWrite(ctx, rest, chunk, &written)) return 1;
        rest += chunk;
        restLength -= chunk;
    }
    std::memcpy(tp.commandBuffer, rest, restLength);
    tp.commandBufferLength = restLength;
    return 0;
}

}  // namespace dorvane
