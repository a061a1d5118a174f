// The TCK divisor command: TCK = base clock / (1 + divisor), never above the asked frequency.
#include "core/errors.h"
#include "transport/internal.h"

namespace dorvane {

uint32_t emitClockDivisor(KpxContext* ctx, uint32_t kHz, uint32_t record, uint8_t* out) {
    TransportPart& tp = transportOf(ctx);
    uint32_t f = kHz ? kHz : tp.tckKHz;
    if (tp.maxTckKHz > 0 && f > static_cast<uint32_t>(tp.maxTckKHz)) f = static_cast<uint32_t>(tp.maxTckKHz);
    if (f == 0) f = 1;
    const uint32_t base = tp.baseClockKHz ? tp.baseClockKHz : 6000;
    const uint32_t divisor = (base - 1) / f;
    if (record) {
        const uint32_t produced = base / (divisor + 1) + (base % (divisor + 1) ? 1 : 0);
        tp.tckKHz = produced;
        ctx->controllerInfo.tckKHz = produced;
    }
    uint8_t bytes[6] = {0x86, static_cast<uint8_t>(divisor & 0xFF), static_cast<uint8_t>((divisor >> 8) & 0xFF)};
    uint32_t n = 3;
    if (base == 30000) bytes[n++] = 0x8A;   // H-series: master clock without divide-by-5
    if (out) {
        for (uint32_t i = 0; i < n; ++i) out[i] = bytes[i];
        if (record) tp.setupFlags |= SETUP_DIVISOR_SENT;
        return n;
    }
    uint32_t length = n;
    if (tp.bufferingType == 0) {
        // Read the high byte back as a marker, so the call returns once the chip took the divisor.
        bytes[length++] = 0x83;
        bytes[length++] = 0x87;
        ResultRecord* rec = newResultRecord(ctx);
        if (!rec) return 0;
        rec->bitCount = 8;
        rec->lastBitPosition = 7;
        tp.pendingReadBytes += 1;
    }
    if (queueCommands(ctx, bytes, length, 0)) return 0;
    if (tp.bufferingType == 0 && waitForResults(ctx, WAIT_ALL)) return 0;
    if (record) tp.setupFlags |= SETUP_DIVISOR_SENT;
    return n;
}

void adoptClock(KpxContext* ctx, uint32_t kHz) {
    transportOf(ctx).tckKHz = kHz;
    ctx->controllerInfo.tckKHz = kHz;
}

uint32_t scaleTimeoutsToClock(KpxContext* ctx) {
    TransportPart& t = transportOf(ctx);
    if (t.baseClockKHz != 30000 || t.tckKHz == 0) return 0;
    const uint32_t ms = 750000000u / t.tckKHz;
    t.resultTimeoutMs = ms;
    if (t.readTimeoutMs == ms && t.writeTimeoutMs == ms) return 0;
    t.readTimeoutMs = ms;
    t.writeTimeoutMs = ms;
    return setDriverTimeouts(ctx, ms, ms);
}

}  // namespace dorvane
