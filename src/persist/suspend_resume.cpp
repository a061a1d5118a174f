// Suspend and resume: a controller given up without touching its pins and taken up again,
// possibly by another process, with its clock setting and TRST/TMS levels.
#include <new>

#include "core/context.h"
#include "core/errors.h"
#include "core/export_impl.h"
#include "persist/persist.h"
#include "transport/transport.h"

using namespace dorvane;

namespace {

constexpr uint8_t kReadLow = 0x81, kReadHigh = 0x83, kSendImmediate = 0x87;

// Reads one GPIO byte through the receive thread (command 0x81 low, 0x83 high).
uint32_t readPins(KpxContext* ctx, uint8_t command, uint8_t* value) {
    ResultRecord* rec = newResultRecord(ctx);
    if (!rec) return 1;
    rec->bitCount = 8;
    rec->lastBitPosition = 7;
    rec->flags |= RR_RAW;
    rec->tdoBytes = value;
    const uint8_t cmd[2] = {command, kSendImmediate};
    if (queueCommands(ctx, cmd, 2, 1)) return 1;
    return waitForResults(ctx, WAIT_ALL);
}

// Steps 3 on of resume, after the device is open and the context allocated.
uint32_t takeUp(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (initResumedController(ctx)) return 1;

    const char* path = persist::storePath();
    if (!path || !persist::loadResumeInfo(path, ctx->controllerAddress, persistOf(ctx).clockRecord))
        return fail(ctx, err::ILLEGAL_RESUME);

    uint8_t pins = 0;
    if (tp.trstBus != 0) {
        if (readPins(ctx, tp.trstBus == 1 ? kReadLow : kReadHigh, &pins)) return 1;
        tp.trstReleased[1] = (pins & tp.trstMask) ? 1 : 0;
    }
    if (readPins(ctx, kReadLow, &pins)) return 1;
    tp.tmsHigh[1] = (pins >> 3) & 1;

    adoptClock(ctx, persistOf(ctx).clockRecord[2] ? persistOf(ctx).clockRecord[2] : 1);
    if (scaleTimeoutsToClock(ctx)) return 1;
    tp.cmpErrorFlag[1] = 0;
    return 0;
}

}  // namespace

uint32_t impl::x_suspendKpx(uint32_t handle) {
    KpxContext* ctx = lookupContext(handle, LOOKUP_REPORT);
    if (!ctx) return 1;
    uint32_t failed = 0;
    persistOf(ctx).clockRecord[2] = transportOf(ctx).tckKHz;
    try {   // the controller is closed and released below whatever happens to the record
        const char* path = persist::storePath();
        if (!path || !persist::storeSuspendInfo(path, ctx->controllerAddress, persistOf(ctx).clockRecord))
            failed = fail(ctx, err::SUSPEND_NOT_STORED);
    } catch (const std::bad_alloc&) {
        failed = fail(ctx, err::MEMORY_ALLOCATION);
    }
    if (stopReceiveThread(ctx)) failed = 1;
    if (closeDevice(ctx)) failed = 1;
    releaseController(ctx, handle);
    return failed;
}

uint32_t impl::x_resumeKpx(uint32_t* handle, const char* address) {
    if (!handle || !address) return fail(nullptr, err::NULL_POINTER);
    KpxContext* ctx = nullptr;
    if (openDevice(&ctx, handle, address)) return 1;
    if (takeUp(ctx) == 0) {
        ctx->contextLock.unlock();
        return 0;
    }
    stopReceiveThread(ctx);
    closeDevice(ctx);
    releaseController(ctx, *handle);
    *handle = 0xFFFFFFFFu;
    return 1;
}
