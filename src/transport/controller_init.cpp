// Controller start and stop: device reset, MPSSE mode, the echo handshake, the receive thread's
// start and stop, closing, and the deferred clock and pin set-up before the first operation.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/errors.h"
#include "platform/platform.h"
#include "transport/internal.h"

namespace dorvane {

using namespace transport;
using detail::driverFailure;

namespace {

// This layer's part of every controller context.
[[maybe_unused]] const bool kPartRegistered = registerContextPart(
    TransportPart::kId, []() -> ContextPart* { return new (std::nothrow) TransportPart(); });

// Reads and throws away whatever the chip still has queued.
uint32_t drainReceiveQueue(KpxContext* ctx) {
    FtdiDriver& drv = ftdiDriver();
    uint8_t scratch[16];
    uint32_t count = 0;
    FtStatus st = drv.getQueueStatus(transportOf(ctx).ftHandle, &count);
    while (st == FT_OK && count != 0) {
        uint32_t got = 0;
        st = drv.read(transportOf(ctx).ftHandle, scratch, count < 16 ? count : 16, &got);
        if (st == FT_OK) st = drv.getQueueStatus(transportOf(ctx).ftHandle, &count);
    }
    return st == FT_OK ? 0 : driverFailure(ctx, st);
}

uint32_t setLoopbackOff(KpxContext* ctx, bool report) {
    const uint8_t off = 0x85;
    uint32_t written = 0;
    const FtStatus st = ftdiDriver().write(transportOf(ctx).ftHandle, &off, 1, &written);
    if (st == FT_OK) return 0;
    if (!report) return 1;
    return driverFailure(ctx, st);
}

// Fails with code (recorded), turning loopback off again without reporting.
uint32_t syncFailure(KpxContext* ctx, uint32_t code) {
    recordError(ctx, code);
    setLoopbackOff(ctx, false);
    return 1;
}

uint32_t syncStatusFailure(KpxContext* ctx, FtStatus st) {
    driverFailure(ctx, st);
    setLoopbackOff(ctx, false);
    return 1;
}

// The echo handshake: with loopback on, two invalid opcodes must come back as FA AA, FA AB.
uint32_t syncController(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    FtdiDriver& drv = ftdiDriver();
    if (drainReceiveQueue(ctx)) return 1;
    const uint8_t on = 0x84;
    uint32_t written = 0;
    FtStatus st = drv.write(tp.ftHandle, &on, 1, &written);
    if (st != FT_OK) return driverFailure(ctx, st);
    uint32_t count = 0;
    st = drv.getQueueStatus(tp.ftHandle, &count);
    if (st != FT_OK) return syncStatusFailure(ctx, st);
    if (count != 0) return syncFailure(ctx, err::RX_BUFFER_NOT_EMPTY);

    uint32_t start = 0;
    for (const uint8_t b : {uint8_t(0xAA), uint8_t(0xAB)}) {
        const uint8_t cmd[2] = {b, 0x87};
        st = drv.write(tp.ftHandle, cmd, 2, &written);
        if (st != FT_OK) return syncStatusFailure(ctx, st);
        if (b == 0xAA) start = platform::millisecondTimer();   // one limit for both answers
        for (;;) {
            st = drv.getQueueStatus(tp.ftHandle, &count);
            if (st != FT_OK) return syncStatusFailure(ctx, st);
            if (platform::millisecondTimer() - start > tp.resultTimeoutMs)
                return syncFailure(ctx, err::SYNC_READ_TIMEOUT);
            if (count >= 2) break;
        }
        uint8_t piece[16] = {};
        uint8_t last2[2] = {};
        uint32_t left = count;
        while (left > 0) {
            const uint32_t n = left == 17 ? 15 : (left < 16 ? left : 16);
            uint32_t got = 0;
            st = drv.read(tp.ftHandle, piece, n, &got);
            if (st != FT_OK) return syncStatusFailure(ctx, st);
            if (got >= 2) { last2[0] = piece[got - 2]; last2[1] = piece[got - 1]; }
            else if (got == 1) { last2[0] = last2[1]; last2[1] = piece[0]; }
            else break;   // nothing more arrived within the read time-out
            left -= got < left ? got : left;
        }
        if (last2[0] != 0xFA || last2[1] != b) return syncFailure(ctx, err::SYNC_FAILURE);
    }
    if (setLoopbackOff(ctx, true)) return 1;
    st = drv.getQueueStatus(tp.ftHandle, &count);
    if (st != FT_OK) return driverFailure(ctx, st);
    if (count != 0) return fail(ctx, err::RX_BUFFER_NOT_EMPTY);
    return 0;
}

void setThreadState(KpxContext* ctx, ReceiveThreadState state) {
    platform::LockGuard guard(transportOf(ctx).threadLock);
    detail::storeThreadState(transportOf(ctx), state);
}

ReceiveThreadState threadState(KpxContext* ctx) { return detail::loadThreadState(transportOf(ctx)); }

void joinReceiveThread(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (tp.receiveThread && tp.receiveThread->joinable()) tp.receiveThread->join();
    tp.receiveThread.reset();
}

}  // namespace

KpxContext* lookupRunningContext(uint32_t handle, uint32_t flags) {
    KpxContext* ctx = lookupContext(handle, flags);
    if (!ctx) return nullptr;
    if (threadState(ctx) != ReceiveThreadState::Running) {
        ContextGuard held(ctx);
        if (flags & LOOKUP_REPORT) recordError(ctx, err::RX_THREAD_NOT_RUNNING);
        return nullptr;
    }
    return ctx;
}

void resetSessionState(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    tp.setupFlags = 0;
    tp.commandBufferLength = 0;
    tp.cmpErrorFlag[1] = 0;
    tp.trstReleased[1] = 1;
    tp.selectedTapMask = 0;
    tp.tmsHigh[1] = 0;
}

uint32_t resetDevice(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    FtdiDriver& drv = ftdiDriver();
    FtStatus st = FT_OK;
    for (int i = 0; i < 15; ++i) {
        st = drv.resetDevice(tp.ftHandle);
        if (st == FT_OK) break;
    }
    if (st == FT_OK) st = drv.purge(tp.ftHandle, FT_PURGE_RX | FT_PURGE_TX);
    if (st == FT_OK) st = drv.setBitMode(tp.ftHandle, 0, 0);
    if (st != FT_OK) return driverFailure(ctx, st);
    // Answers to records still pending are gone with the reset.
    {
        platform::LockGuard held(tp.resultLock);
        detail::dropUndelivered(ctx);
    }
    tp.tckKHz = 6000;
    ctx->controllerInfo.tckKHz = 6000;
    std::memset(ctx->infoValueWords, 0, sizeof ctx->infoValueWords);
    resetSessionState(ctx);
    return 0;
}

uint32_t initController(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    FtdiDriver& drv = ftdiDriver();
    FtStatus st = drv.purge(tp.ftHandle, FT_PURGE_RX | FT_PURGE_TX);
    if (st != FT_OK) return driverFailure(ctx, st);
    st = drv.setBitMode(tp.ftHandle, tp.effectiveLowDirection, 2);
    if (st != FT_OK) return driverFailure(ctx, st);
    if (!tp.resuming) {
        if (drainReceiveQueue(ctx)) return 1;
        // All low pins driven 0 in their present directions, then the low byte read back.
        const uint8_t pins[5] = {0x80, 0x00, tp.effectiveLowDirection, 0x81, 0x87};
        uint32_t n = 0;
        st = drv.write(tp.ftHandle, pins, 5, &n);
        if (st != FT_OK) return driverFailure(ctx, st);
        uint8_t gpio = 0;
        st = drv.read(tp.ftHandle, &gpio, 1, &n);
        if (st != FT_OK) return driverFailure(ctx, st);
    }
    st = drv.setTimeouts(tp.ftHandle, tp.readTimeoutMs, tp.writeTimeoutMs);
    if (st != FT_OK) return driverFailure(ctx, st);
    st = drv.setLatencyTimer(tp.ftHandle, 2);
    if (st != FT_OK) return driverFailure(ctx, st);
    if (syncController(ctx)) return 1;

    if (!tp.rxEvent) {
        std::unique_ptr<platform::Event> ev(new (std::nothrow) platform::Event());
        if (!ev || !ev->valid()) return fail(ctx, err::EVENT_CREATE);
        tp.rxEvent = std::move(ev);
    }
    if (!tp.resultEvent) {   // kept for the context's life: waiters may still look at it
        std::unique_ptr<platform::Event> ev(new (std::nothrow) platform::Event());
        if (!ev || !ev->valid()) return fail(ctx, err::EVENT_CREATE);
        tp.resultEvent = std::move(ev);
    }
    // The echo handshake left nothing behind; wait for the queue to show it. Bytes that stay
    // (nothing reads them yet) would keep the start waiting for good, so the wait is bounded.
    const uint32_t start = platform::millisecondTimer();
    for (;;) {
        uint32_t count = 0;
        st = drv.getQueueStatus(tp.ftHandle, &count);
        if (st != FT_OK) return driverFailure(ctx, st);
        if (count == 0) break;
        if (platform::millisecondTimer() - start > tp.resultTimeoutMs) return fail(ctx, err::RX_BUFFER_NOT_EMPTY);
        platform::sleepMs(1);
    }
    tp.pendingReadBytes = 0;
    tp.receivedHandover = 0;
    tp.receivedSinceHandover = 0;
    st = drv.setEventNotification(tp.ftHandle, FT_EVENT_RXCHAR, tp.rxEvent.get());
    if (st != FT_OK) return driverFailure(ctx, st);

    detail::setStopRequest(ctx, 0);
    tp.setupFlags &= ~uint32_t(SETUP_STOP_REQUEST);
    setThreadState(ctx, ReceiveThreadState::Starting);
    joinReceiveThread(ctx);   // a thread that ended on its own earlier
    try {
        tp.receiveSide = detail::newReceiveSide(ctx);
    } catch (const std::bad_alloc&) {
        setThreadState(ctx, ReceiveThreadState::Stopped);
        return fail(ctx, err::THREAD_CREATE);
    }
    std::unique_ptr<platform::Thread> thread(new (std::nothrow) platform::Thread());
    if (!thread || !thread->start(&detail::receiveThreadMain, ctx)) {
        setThreadState(ctx, ReceiveThreadState::Stopped);
        return fail(ctx, err::THREAD_CREATE);
    }
    tp.receiveThread = std::move(thread);
    for (;;) {
        const ReceiveThreadState s = threadState(ctx);
        if (s == ReceiveThreadState::Running) return 0;
        if (s == ReceiveThreadState::Stopped) {   // it stopped on a failure before reporting itself running
            const uint32_t te = detail::threadErrorOf(ctx);
            return fail(ctx, te ? te : uint32_t(err::RX_THREAD_NOT_RUNNING));
        }
        detail::awaitReceiver(ctx, 100);   // the thread signals when it runs and when it ends
    }
}

uint32_t initResumedController(KpxContext* ctx) {
    transportOf(ctx).resuming = 1;
    resetSessionState(ctx);
    transportOf(ctx).setupFlags |= SETUP_DONE;
    return initController(ctx);
}

uint32_t stopReceiveThread(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (!tp.rxEvent) return 0;
    uint32_t result = 0;
    if (tp.bufferingType != 0) {
        // Buffered: the stop travels as the last record, so everything before it is delivered.
        if (growCommandBuffer(ctx, 2) == 0) {
            tp.commandBuffer[tp.commandBufferLength++] = 0x83;
            tp.commandBuffer[tp.commandBufferLength++] = 0x87;
        }
        ResultRecord* rec = newResultRecord(ctx);
        if (!rec) {
            result = 1;
        } else {
            rec->bitCount = 8;
            rec->lastBitPosition = 7;
            rec->flags |= RR_STOP_THREAD;
            tp.pendingReadBytes += 1;
            if (waitForResults(ctx, WAIT_ALL)) {
                result = 1;
            } else {
                tp.bufferingType = 0;
                resetWriteChunk(ctx);
            }
        }
        std::free(tp.commandBuffer);
        tp.commandBuffer = nullptr;
        tp.commandBufferCapacity = 0;
        tp.commandBufferLength = 0;
    }
    // Wake the idle thread with the stop request (a no-op for a thread that already ended).
    tp.setupFlags |= SETUP_STOP_REQUEST;
    detail::setStopRequest(ctx, 1);
    if (!tp.rxEvent->set()) {
        result = fail(ctx, err::EVENT_SET);
    } else {
        const uint32_t start = platform::millisecondTimer();
        while (threadState(ctx) != ReceiveThreadState::Stopped) {
            const uint32_t waited = platform::millisecondTimer() - start;
            if (waited > 10000) {
                result = fail(ctx, err::CONTROLLER_TIMEOUT);
                break;
            }
            detail::awaitReceiver(ctx, std::min<uint32_t>(10001 - waited, 100));
        }
    }
    // The thread may still be inside a read after a time-out; it ends once that read returns
    // and finds the stop request, and must not outlive the context.
    if (threadState(ctx) != ReceiveThreadState::Stopped) {
        ftdiDriver().purge(tp.ftHandle, FT_PURGE_RX);
        tp.rxEvent->set();
    }
    joinReceiveThread(ctx);
    ftdiDriver().setEventNotification(tp.ftHandle, FT_EVENT_RXCHAR, nullptr);
    tp.rxEvent.reset();
    return result;
}

namespace {

// Purges the receive queue (or cycles the port) and closes the device; the handle is gone
// whatever the driver answered.
uint32_t endDevice(KpxContext* ctx, bool cyclePort) {
    TransportPart& tp = transportOf(ctx);
    uint32_t result = 0;
    if (tp.ftHandle) {
        FtdiDriver& drv = ftdiDriver();
        FtStatus st = cyclePort ? drv.cyclePort(tp.ftHandle) : drv.purge(tp.ftHandle, FT_PURGE_RX);
        if (st != FT_OK) result = driverFailure(ctx, st);
        st = drv.close(tp.ftHandle);
        if (st != FT_OK) result = driverFailure(ctx, st);
    }
    tp.ftHandle = nullptr;
    return result;
}

}  // namespace

uint32_t closeDevice(KpxContext* ctx) { return endDevice(ctx, false); }
uint32_t cyclePortAndClose(KpxContext* ctx) { return endDevice(ctx, true); }

uint32_t emitPinSetup(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    uint8_t lowValue = tp.dataBusValue | 0x0A, lowDir = tp.dataBusDirection | 0x0B;
    uint8_t highValue = tp.ctrlBusValue, highDir = tp.ctrlBusDirection;
    if (tp.tapMode[1] == TapMode::SwdBridge) {   // SWD bridge: only TCK and TDI forced to outputs
        lowValue = tp.dataBusValue;
        lowDir = tp.dataBusDirection | 0x03;
    } else if (tp.trstBus == 1) {
        lowValue |= tp.trstMask;
        lowDir |= tp.trstMask;
    } else if (tp.trstBus == 2) {
        highValue |= tp.trstMask;
        highDir |= tp.trstMask;
    }
    const uint8_t bytes[6] = {0x80, lowValue, lowDir, 0x82, highValue, highDir};
    const uint32_t rc = queueCommands(ctx, bytes, sizeof bytes, 0);
    tp.setupFlags |= SETUP_PINS_SENT;
    tp.effectiveLowDirection = lowDir;
    tp.effectiveHighDirection = highDir;
    return rc;
}

uint32_t ensureControllerReady(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    constexpr uint32_t all = SETUP_DIVISOR_SENT | SETUP_PINS_SENT | SETUP_READY | SETUP_DONE | SETUP_WAITED;
    if ((tp.setupFlags & all) == all) return 0;
    if (!(tp.setupFlags & SETUP_DIVISOR_SENT) && emitClockDivisor(ctx, tp.tckKHz, 1, nullptr) == 0) return 1;
    if (!(tp.setupFlags & SETUP_PINS_SENT) && emitPinSetup(ctx)) return 1;
    tp.setupFlags |= SETUP_READY;
    if (!(tp.setupFlags & SETUP_WAITED)) {
        if (waitForResults(ctx, WAIT_ALL)) return 1;
        tp.setupFlags |= SETUP_WAITED;
    }
    tp.setupFlags |= SETUP_DONE;
    return 0;
}

}  // namespace dorvane
