// Helpers shared by the transport's own files; not used outside src/transport/.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/context.h"
#include "transport/ftdi_driver.h"
#include "transport/transport.h"

namespace dorvane::detail {

// threadError and stopRequest cross between the calling thread and the receive thread.
inline uint32_t threadErrorOf(KpxContext* ctx) {
    return std::atomic_ref<uint32_t>(transportOf(ctx).threadError).load(std::memory_order_acquire);
}
inline void postThreadError(KpxContext* ctx, uint32_t code) {
    std::atomic_ref<uint32_t>(transportOf(ctx).threadError).store(code, std::memory_order_release);
}
inline bool stopRequested(KpxContext* ctx) {
    return std::atomic_ref<uint32_t>(transportOf(ctx).stopRequest).load(std::memory_order_acquire) != 0;
}
inline void setStopRequest(KpxContext* ctx, uint32_t v) {
    std::atomic_ref<uint32_t>(transportOf(ctx).stopRequest).store(v, std::memory_order_release);
}

// receiveThreadState changes under threadLock (the start and stop handshakes) but is read
// without it: every operation's lookup looks at it.
inline void storeThreadState(TransportPart& tp, ReceiveThreadState state) {
    std::atomic_ref<ReceiveThreadState>(tp.receiveThreadState).store(state, std::memory_order_release);
}
inline ReceiveThreadState loadThreadState(TransportPart& tp) {
    return std::atomic_ref<ReceiveThreadState>(tp.receiveThreadState).load(std::memory_order_acquire);
}

// The calling thread sleeps until the receive thread signals it (deliveries, a hand-over of
// its received count, its start and its end) or timeoutMs pass; callers re-check their
// condition after every return.
inline void awaitReceiver(KpxContext* ctx, uint32_t timeoutMs) {
    if (const auto& ev = transportOf(ctx).resultEvent) ev->wait(timeoutMs);
}
inline void wakeCaller(KpxContext* ctx) {
    if (const auto& ev = transportOf(ctx).resultEvent) ev->set();
}

// Records the error of a driver status (keeping it in lastFtStatus) and returns 1.
uint32_t driverFailure(KpxContext* ctx, transport::FtStatus st);

// One FT_Write of a whole piece: status errors and short writes are recorded. The bytes
// written are returned through written.
uint32_t writePiece(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t* written);

// Under resultLock: no record waits for delivery.
inline bool resultListEmpty(const KpxContext* ctx) {
    return transportOf(ctx).resultHead == transportOf(ctx).resultTail && transportOf(ctx).resultHead->readIndex == transportOf(ctx).resultHead->count;
}

// Drops every undelivered record (freeing what they own) and every block but the tail,
// which becomes the empty head; the receive thread abandons the record it was serving.
// Caller holds resultLock.
void dropUndelivered(KpxContext* ctx);

// The receive side's state (receive_thread.cpp): made before each start of the thread, kept
// in receiveSide, shared by the thread and a waiting caller.
std::shared_ptr<void> newReceiveSide(KpxContext* ctx);
// A waiting caller serves what has arrived itself (after the receive thread, if it is serving).
void serveAsCaller(KpxContext* ctx);
// Before an unbuffered write whose answers the caller will wait for: the receive thread leaves
// them to the caller, whose next serveAsCaller ends the claim (releaseServing too: serves what
// is there and hands anything later to the thread).
void claimServing(KpxContext* ctx);
void releaseServing(KpxContext* ctx);
// Ends a claim without serving (the operation gave up): the receive thread takes over.
void endClaim(KpxContext* ctx);
// The receive thread's body.
void receiveThreadMain(void* arg);

}  // namespace dorvane::detail
