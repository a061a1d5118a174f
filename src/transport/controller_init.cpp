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

// Reads and throws away whatever the chip still has queued.
uint32_t drainReceiveQueue(KpxContext* ctx) {
    FtdiDriver& drv = ftdiDriver();
    uint8_t scratch[16];
    uint32_t count = 0;
    FtStatus st = drv.getQueueStatus(ctx->ftHandle, &count);
    while (st == FT_OK && count != 0) {
        uint32_t got = 0;
        st = drv.read(ctx->ftHandle, scratch, count < 16 ? count : 16, &got);
        if (st == FT_OK) st = drv.getQueueStatus(ctx->ftHandle, &count);
    }
    return st == FT_OK ? 0 : driverFailure(ctx, st);
}

uint32_t setLoopbackOff(KpxContext* ctx, bool report) {
    const uint8_t off = 0x85;
    uint32_t written = 0;
    const FtStatus st = ftdiDriver().write(ctx->ftHandle, &off, 1, &written);
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
    FtdiDriver& drv = ftdiDriver();
    if (drainReceiveQueue(ctx)) return 1;
    const uint8_t on = 0x84;
    uint32_t written = 0;
    FtStatus st = drv.write(ctx->ftHandle, &on, 1, &written);
    if (st != FT_OK) return driverFailure(ctx, st);
    uint32_t count = 0;
    st = drv.getQueueStatus(ctx->ftHandle, &count);
    if (st != FT_OK) return syncStatusFailure(ctx, st);
    if (count != 0) return syncFailure(ctx, err::RX_BUFFER_NOT_EMPTY);

    uint32_t start = 0;
    for (const uint8_t b : {uint8_t(0xAA), uint8_t(0xAB)}) {
        const uint8_t cmd[2] = {b, 0x87};
        st = drv.write(ctx->ftHandle, cmd, 2, &written);
        if (st != FT_OK) return syncStatusFailure(ctx, st);
        if (b == 0xAA) start = platform::millisecondTimer();   // one limit for both answers
        for (;;) {
            st = drv.getQueueStatus(ctx->ftHandle, &count);
            if (st != FT_OK) return syncStatusFailure(ctx, st);
            if (platform::millisecondTimer() - start > ctx->resultTimeoutMs)
                return syncFailure(ctx, err::SYNC_READ_TIMEOUT);
            if (count >= 2) break;
        }
        uint8_t piece[16] = {};
        uint8_t last2[2] = {};
        uint32_t left = count;
        while (left > 0) {
            const uint32_t n = left == 17 ? 15 : (left < 16 ? left : 16);
            uint32_t got = 0;
            st = drv.read(ctx->ftHandle, piece, n, &got);
            if (st != FT_OK) return syncStatusFailure(ctx, st);
            if (got >= 2) { last2[0] = piece[got - 2]; last2[1] = piece[got - 1]; }
            else if (got == 1) { last2[0] = last2[1]; last2[1] = piece[0]; }
            else break;   // nothing more arrived within the read time-out
            left -= got < left ? got : left;
        }
        if (last2[0] != 0xFA || last2[1] != b) return syncFailure(ctx, err::SYNC_FAILURE);
    }
    if (setLoopbackOff(ctx, true)) return 1;
    st = drv.getQueueStatus(ctx->ftHandle, &count);
    if (st != FT_OK) return driverFailure(ctx, st);
    if (count != 0) return fail(ctx, err::RX_BUFFER_NOT_EMPTY);
    return 0;
}

void setThreadState(KpxContext* ctx, ReceiveThreadState state) {
    platform::LockGuard guard(ctx->threadLock);
    ctx->receiveThreadState = state;
}

ReceiveThreadState threadState(KpxContext* ctx) {
    platform::LockGuard guard(ctx->threadLock);
    return ctx->receiveThreadState;
}

void joinReceiveThread(KpxContext* ctx) {
    if (ctx->receiveThread && ctx->receiveThread->joinable()) ctx->receiveThread->join();
    ctx->receiveThread.reset();
}

}  // namespace

void resetSessionState(KpxContext* ctx) {
    ctx->setupFlags = 0;
    ctx->commandBufferLength = 0;
    ctx->irStopState[1] = 2;
    ctx->drStopState[1] = 2;
    ctx->tapState[1] = 0;
    ctx->cmpErrorFlag[1] = 0;
    ctx->tapProtocol[1] = ScanProtocol::Normal;
    ctx->slowExitArmed[1] = 0;
    ctx->trstReleased[1] = 1;
    ctx->selectedTapMask = 0;
    ctx->tmsHigh[1] = 0;
}

uint32_t resetDevice(KpxContext* ctx) {
    FtdiDriver& drv = ftdiDriver();
    FtStatus st = FT_OK;
    for (int i = 0; i < 15; ++i) {
        st = drv.resetDevice(ctx->ftHandle);
        if (st == FT_OK) break;
    }
    if (st == FT_OK) st = drv.purge(ctx->ftHandle, FT_PURGE_RX | FT_PURGE_TX);
    if (st == FT_OK) st = drv.setBitMode(ctx->ftHandle, 0, 0);
    if (st != FT_OK) return driverFailure(ctx, st);
    // Answers to records still pending are gone with the reset.
    {
        platform::LockGuard held(ctx->resultLock);
        detail::dropUndelivered(ctx);
    }
    ctx->tckKHz = 6000;
    ctx->controllerInfo.tckKHz = 6000;
    std::memset(ctx->infoValueWords, 0, sizeof ctx->infoValueWords);
    resetSessionState(ctx);
    return 0;
}

uint32_t initController(KpxContext* ctx) {
    FtdiDriver& drv = ftdiDriver();
    FtStatus st = drv.purge(ctx->ftHandle, FT_PURGE_RX | FT_PURGE_TX);
    if (st != FT_OK) return driverFailure(ctx, st);
    st = drv.setBitMode(ctx->ftHandle, ctx->effectiveLowDirection, 2);
    if (st != FT_OK) return driverFailure(ctx, st);
    if (!ctx->resuming) {
        if (drainReceiveQueue(ctx)) return 1;
        // All low pins driven 0 in their present directions, then the low byte read back.
        const uint8_t pins[5] = {0x80, 0x00, ctx->effectiveLowDirection, 0x81, 0x87};
        uint32_t n = 0;
        st = drv.write(ctx->ftHandle, pins, 5, &n);
        if (st != FT_OK) return driverFailure(ctx, st);
        uint8_t gpio = 0;
        st = drv.read(ctx->ftHandle, &gpio, 1, &n);
        if (st != FT_OK) return driverFailure(ctx, st);
    }
    st = drv.setTimeouts(ctx->ftHandle, ctx->readTimeoutMs, ctx->writeTimeoutMs);
    if (st != FT_OK) return driverFailure(ctx, st);
    st = drv.setLatencyTimer(ctx->ftHandle, 2);
    if (st != FT_OK) return driverFailure(ctx, st);
    if (syncController(ctx)) return 1;

    if (!ctx->rxEvent) {
        std::unique_ptr<platform::Event> ev(new (std::nothrow) platform::Event());
        if (!ev || !ev->valid()) return fail(ctx, err::EVENT_CREATE);
        ctx->rxEvent = std::move(ev);
    }
    if (!ctx->resultEvent) {   // kept for the context's life: waiters may still look at it
        std::unique_ptr<platform::Event> ev(new (std::nothrow) platform::Event());
        if (!ev || !ev->valid()) return fail(ctx, err::EVENT_CREATE);
        ctx->resultEvent = std::move(ev);
    }
    // The echo handshake left nothing behind; wait for the queue to show it. Bytes that stay
    // (nothing reads them yet) would keep the start waiting for good, so the wait is bounded.
    const uint32_t start = platform::millisecondTimer();
    for (;;) {
        uint32_t count = 0;
        st = drv.getQueueStatus(ctx->ftHandle, &count);
        if (st != FT_OK) return driverFailure(ctx, st);
        if (count == 0) break;
        if (platform::millisecondTimer() - start > ctx->resultTimeoutMs) return fail(ctx, err::RX_BUFFER_NOT_EMPTY);
        platform::sleepMs(1);
    }
    ctx->pendingReadBytes = 0;
    ctx->receivedHandover = 0;
    ctx->receivedSinceHandover = 0;
    st = drv.setEventNotification(ctx->ftHandle, FT_EVENT_RXCHAR, ctx->rxEvent.get());
    if (st != FT_OK) return driverFailure(ctx, st);

    detail::setStopRequest(ctx, 0);
    ctx->setupFlags &= ~uint32_t(SETUP_STOP_REQUEST);
    setThreadState(ctx, ReceiveThreadState::Starting);
    joinReceiveThread(ctx);   // a thread that ended on its own earlier
    try {
        ctx->receiveSide = detail::newReceiveSide(ctx);
    } catch (const std::bad_alloc&) {
        setThreadState(ctx, ReceiveThreadState::Stopped);
        return fail(ctx, err::THREAD_CREATE);
    }
    std::unique_ptr<platform::Thread> thread(new (std::nothrow) platform::Thread());
    if (!thread || !thread->start(&detail::receiveThreadMain, ctx)) {
        setThreadState(ctx, ReceiveThreadState::Stopped);
        return fail(ctx, err::THREAD_CREATE);
    }
    ctx->receiveThread = std::move(thread);
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

uint32_t stopReceiveThread(KpxContext* ctx) {
    if (!ctx->rxEvent) return 0;
    uint32_t result = 0;
    if (ctx->bufferingType != 0) {
        // Buffered: the stop travels as the last record, so everything before it is delivered.
        if (growCommandBuffer(ctx, 2) == 0) {
            ctx->commandBuffer[ctx->commandBufferLength++] = 0x83;
            ctx->commandBuffer[ctx->commandBufferLength++] = 0x87;
        }
        ResultRecord* rec = newResultRecord(ctx);
        if (!rec) {
            result = 1;
        } else {
            rec->bitCount = 8;
            rec->lastBitPosition = 7;
            rec->flags |= RR_STOP_THREAD;
            ctx->pendingReadBytes += 1;
            if (waitForResults(ctx, WAIT_ALL)) {
                result = 1;
            } else {
                ctx->bufferingType = 0;
                resetWriteChunk(ctx);
            }
        }
        std::free(ctx->commandBuffer);
        ctx->commandBuffer = nullptr;
        ctx->commandBufferCapacity = 0;
        ctx->commandBufferLength = 0;
    }
    // Wake the idle thread with the stop request (a no-op for a thread that already ended).
    ctx->setupFlags |= SETUP_STOP_REQUEST;
    detail::setStopRequest(ctx, 1);
    if (!ctx->rxEvent->set()) {
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
        ftdiDriver().purge(ctx->ftHandle, FT_PURGE_RX);
        ctx->rxEvent->set();
    }
    joinReceiveThread(ctx);
    ftdiDriver().setEventNotification(ctx->ftHandle, FT_EVENT_RXCHAR, nullptr);
    ctx->rxEvent.reset();
    return result;
}

uint32_t closeDevice(KpxContext* ctx) {
    uint32_t result = 0;
    if (ctx->ftHandle) {
        FtdiDriver& drv = ftdiDriver();
        FtStatus st = drv.purge(ctx->ftHandle, FT_PURGE_RX);
        if (st != FT_OK) result = driverFailure(ctx, st);
        st = drv.close(ctx->ftHandle);
        if (st != FT_OK) result = driverFailure(ctx, st);
    }
    ctx->ftHandle = nullptr;
    return result;
}

uint32_t emitPinSetup(KpxContext* ctx) {
    uint8_t lowValue = ctx->dataBusValue | 0x0A, lowDir = ctx->dataBusDirection | 0x0B;
    uint8_t highValue = ctx->ctrlBusValue, highDir = ctx->ctrlBusDirection;
    if (ctx->tapMode[1] == TapMode::SwdBridge) {   // SWD bridge: only TCK and TDI forced to outputs
        lowValue = ctx->dataBusValue;
        lowDir = ctx->dataBusDirection | 0x03;
    } else if (ctx->trstBus == 1) {
        lowValue |= ctx->trstMask;
        lowDir |= ctx->trstMask;
    } else if (ctx->trstBus == 2) {
        highValue |= ctx->trstMask;
        highDir |= ctx->trstMask;
    }
    const uint8_t bytes[6] = {0x80, lowValue, lowDir, 0x82, highValue, highDir};
    const uint32_t rc = queueCommands(ctx, bytes, sizeof bytes, 0);
    ctx->setupFlags |= SETUP_PINS_SENT;
    ctx->effectiveLowDirection = lowDir;
    ctx->effectiveHighDirection = highDir;
    return rc;
}

uint32_t ensureControllerReady(KpxContext* ctx) {
    constexpr uint32_t all = SETUP_DIVISOR_SENT | SETUP_PINS_SENT | SETUP_READY | SETUP_DONE | SETUP_WAITED;
    if ((ctx->setupFlags & all) == all) return 0;
    if (!(ctx->setupFlags & SETUP_DIVISOR_SENT) && emitClockDivisor(ctx, ctx->tckKHz, 1, nullptr) == 0) return 1;
    if (!(ctx->setupFlags & SETUP_PINS_SENT) && emitPinSetup(ctx)) return 1;
    ctx->setupFlags |= SETUP_READY;
    if (!(ctx->setupFlags & SETUP_WAITED)) {
        if (waitForResults(ctx, WAIT_ALL)) return 1;
        ctx->setupFlags |= SETUP_WAITED;
    }
    ctx->setupFlags |= SETUP_DONE;
    return 0;
}

}  // namespace dorvane
