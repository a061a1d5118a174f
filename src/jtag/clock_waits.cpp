// TCK frequency, waits by TCK count and by time, and the TCK idle state.
#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "persist/persist.h"
#include "transport/transport.h"

using namespace dorvane;

namespace dorvane {
namespace {

constexpr uint32_t kFastBaseKHz = 30000;
constexpr uint32_t kFastUnit = 65536;   // bytes per 0x8F command: 524288 TCKs
constexpr uint32_t kSlowUnit = 125;     // bytes per 0x19 command: 1000 TCKs

enum : uint32_t { UNIT_S = 0, UNIT_MS = 1, UNIT_US = 2, UNIT_NS = 3, UNIT_CLOCKED = 0x80000000u };

bool fastChip(const KpxContext* ctx) { return transportOf(ctx).baseClockKHz == kFastBaseKHz; }

uint32_t put3(uint8_t* out, uint32_t at, uint8_t a, uint8_t b, uint8_t c) {
    out[at] = a; out[at + 1] = b; out[at + 2] = c;
    return at + 3;
}

// How long a host sleep lasts: ms milliseconds, repeated times.
struct SleepPlan { uint32_t ms; uint32_t times; };

SleepPlan sleepLength(uint32_t time, uint32_t unit) {
    switch (unit) {
    case UNIT_S: return time < 4294967u ? SleepPlan{time * 1000u, 1} : SleepPlan{time, 1000};
    case UNIT_MS: return {time, 1};
    case UNIT_US: return {static_cast<uint32_t>((static_cast<uint64_t>(time) + 999) / 1000), 1};
    default: return {static_cast<uint32_t>((static_cast<uint64_t>(time) + 999999) / 1000000), 1};
    }
}

void hostSleep(SleepPlan plan) {
    for (uint32_t k = 0; k < plan.times; ++k) platform::sleepMs(plan.ms);
}

// Queues bytes that end in a read with an 8-bit marker, waits until everything before has
// run, then sleeps on the host.
uint32_t sleepAfter(KpxContext* ctx, const uint8_t* bytes, uint32_t length, SleepPlan plan) {
    if (registerMarker(ctx, 8, nullptr)) return 1;
    if (queueCommands(ctx, bytes, length, 0)) return 1;
    if (waitForResults(ctx, WAIT_ALL)) return 1;
    hostSleep(plan);
    return 0;
}

uint32_t sleepWait(KpxContext* ctx, uint32_t time, uint32_t unit) {
    if (unit > UNIT_NS) return fail(ctx, err::INVALID_WAIT_UNITS);
    if (ensureControllerReady(ctx)) return 1;
    static const uint8_t kReadBack[] = {OP_READ_HIGH, OP_SEND_IMMEDIATE};
    return sleepAfter(ctx, kReadBack, sizeof kReadBack, sleepLength(time, unit));
}

uint32_t stretchedWait(KpxContext* ctx, uint32_t time, uint32_t unit) {
    TransportPart& tp = transportOf(ctx);
    const uint64_t f = tp.tckKHz ? tp.tckKHz : 1;
    const uint64_t B = tp.baseClockKHz;
    bool sleep = false;
    uint64_t P = 0;
    switch (unit) {
    case UNIT_S: sleep = true; break;
    case UNIT_MS:
        if (time <= 10) P = B * time - 1;
        else sleep = true;
        break;
    case UNIT_US:
        if (time <= 1000 / f) P = 0;
        else if (time <= 10000) P = (B / 1000) * time - 1;
        else sleep = true;
        break;
    case UNIT_NS:
        if (time <= 1000000 / f) P = 0;
        else if (time <= 10000000) P = ((B / 1000) * time + 999) / 1000 - 1;
        else sleep = true;
        break;
    default: return fail(ctx, err::INVALID_WAIT_UNITS);
    }
    if (ensureControllerReady(ctx)) return 1;
    if (sleep) {
        static const uint8_t kOneTck[] = {OP_BITS_IN, 0x00, OP_SEND_IMMEDIATE};
        return sleepAfter(ctx, kOneTck, sizeof kOneTck, sleepLength(time, unit));
    }
    const bool buffered = tp.bufferingType != 0;
    const uint32_t D = static_cast<uint32_t>((B - 1) / f);
    uint8_t bytes[24];
    uint32_t length = stretchedTckBytes(static_cast<uint32_t>(P), D, fastChip(ctx), buffered, bytes);
    if (buffered) return queueCommands(ctx, bytes, length, 0);
    bytes[length++] = OP_SEND_IMMEDIATE;
    if (registerMarker(ctx, 8, nullptr)) return 1;
    if (queueCommands(ctx, bytes, length, 0)) return 1;
    return waitForResults(ctx, WAIT_ALL);
}

}  // namespace

TckWaitPlan planTckWait(uint32_t n, bool fast, bool buffered) {
    TckWaitPlan plan{};
    if (n == 0) return plan;
    uint32_t whole, bits;
    if (buffered) {
        whole = n / 8;
        bits = n % 8;
    } else {
        // The last command always reads, so the wait's end can be seen.
        whole = (n - 1) / 8;
        bits = (n - 1) % 8 + 1;
    }
    const uint32_t unit = fast ? kFastUnit : kSlowUnit;
    plan.fullCommands = whole / unit;
    plan.remainderBytes = whole % unit;
    plan.bits = bits;
    return plan;
}

uint32_t stretchedTckBytes(uint32_t P, uint32_t d, bool fast, bool buffered, uint8_t* out) {
    const uint8_t lo = static_cast<uint8_t>(d & 0xFF), hi = static_cast<uint8_t>(d >> 8);
    const int64_t E = P ? static_cast<int64_t>(P) - d : 0;
    uint32_t n = 0;
    auto divisor = [&] { n = put3(out, n, OP_DIVISOR, lo, hi); };
    auto clockOne = [&] { out[n++] = OP_CLOCK_BITS; out[n++] = 0x00; };
    auto bitOut = [&] { n = put3(out, n, OP_BITS_OUT, 0x00, 0x00); };
    auto longForm = [&](uint32_t back, uint32_t fastBack) {
        if (fast && P >= 65536) {
            uint32_t q = (P - fastBack) / 5;
            out[n++] = OP_DIV5_ON;
            n = put3(out, n, OP_DIVISOR, static_cast<uint8_t>(q & 0xFF), static_cast<uint8_t>(q >> 8));
            clockOne();
            divisor();
            out[n++] = OP_DIV5_OFF;
        } else {
            uint32_t s = P > back ? P - back : 0;
            n = put3(out, n, OP_DIVISOR, static_cast<uint8_t>(s & 0xFF), static_cast<uint8_t>(s >> 8));
            bitOut();
            divisor();
        }
    };
    if (buffered) {
        if (E < 0 || E >= 18) longForm(17, 19);
        else if (E <= 3) { if (fast) clockOne(); else bitOut(); }
        else if (E <= 5) bitOut();
        else if (E <= 9) { divisor(); if (fast) clockOne(); else bitOut(); }
        else if (E <= 11) { divisor(); bitOut(); }
        else if (E <= 15) { divisor(); if (fast) clockOne(); else bitOut(); divisor(); }
        else { divisor(); bitOut(); divisor(); }
        return n;
    }
    auto bitIn = [&] { out[n++] = OP_BITS_IN; out[n++] = 0x00; };
    auto bitInOut = [&] { n = put3(out, n, OP_BITS_INOUT, 0x00, 0x00); };
    if (E < 0 || E >= 20) { longForm(19, 21); out[n++] = OP_READ_HIGH; }
    else if (E <= 3) bitIn();
    else if (E <= 5) bitInOut();
    else if (E <= 9) { divisor(); bitIn(); }
    else if (E <= 11) { divisor(); bitInOut(); }
    else if (E <= 15) { divisor(); divisor(); bitIn(); }
    else if (E <= 17) { divisor(); divisor(); bitInOut(); }
    else { divisor(); bitOut(); divisor(); out[n++] = OP_READ_HIGH; }
    return n;
}

uint32_t tckWait(KpxContext* ctx, uint32_t n) {
    if (n == 0) return 0;
    if (tapsOf(ctx).tapState[1] == ST_UNKNOWN) return fail(ctx, err::STATE_UNKNOWN);
    if (ensureControllerReady(ctx)) return 1;
    const bool fast = fastChip(ctx);
    const bool buffered = transportOf(ctx).bufferingType != 0;
    const TckWaitPlan plan = planTckWait(n, fast, buffered);

    // TDI is held high; TMS keeps its level, so the TAP stays in its stable state.
    CommandBytes<kSlowUnit + 16> buf;
    if (plan.fullCommands) {
        if (fast) buf.put(OP_CLOCK_BYTES, 0xFF, 0xFF);
        else {
            buf.put(OP_BYTES_OUT, static_cast<uint8_t>(kSlowUnit - 1), 0x00);
            buf.fill(0xFF, kSlowUnit);
        }
        for (uint32_t k = 0; k < plan.fullCommands; ++k)
            if (queueCommands(ctx, buf.data, buf.length, 0)) return 1;
        buf.clear();
    }
    if (plan.remainderBytes) {
        const uint32_t r = plan.remainderBytes - 1;
        buf.put(fast ? OP_CLOCK_BYTES : OP_BYTES_OUT, static_cast<uint8_t>(r & 0xFF), static_cast<uint8_t>(r >> 8));
        if (!fast) buf.fill(0xFF, plan.remainderBytes);
    }
    volatile uint32_t done = 0;
    if (plan.bits) {
        const uint8_t len = static_cast<uint8_t>(plan.bits - 1);
        if (!buffered) buf.put(OP_BITS_IN, len);
        else if (fast) buf.put(OP_CLOCK_BITS, len);
        else buf.put(OP_BITS_OUT, len, 0xFF);
    }
    if (!buffered) {
        buf.put(OP_SEND_IMMEDIATE);
        done = 1;
        if (registerMarker(ctx, 1, &done)) return 1;
    }
    if (queueCommands(ctx, buf.data, buf.length, 0)) return 1;
    if (buffered) return 0;
    if (waitForResults(ctx, WAIT_ALL)) return 1;
    return waitCompletionWord(ctx, &done);
}

}  // namespace dorvane

// --- exports ---

uint32_t impl::x_setScanFrequency(uint32_t handle, int32_t kHz) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    int32_t f = kHz;
    uint32_t result = 0;
    if (f > transportOf(c).maxTckKHz) {
        f = transportOf(c).maxTckKHz;
    } else if (f < transportOf(c).minTckKHz) {
        f = transportOf(c).minTckKHz;
        recordError(c, err::TCK_OUT_OF_RANGE);
        result = 1;   // the minimum is set all the same
    }
    if (f < 1) f = 1;
    if (emitClockDivisor(c, static_cast<uint32_t>(f), 1, nullptr) == 0) return 1;
    if (scaleTimeoutsToClock(c)) return 1;
    return result;
}

uint32_t impl::x_waitTck(uint32_t handle, uint32_t count) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (count == 0) return 0;
    return tckWait(ctx.get(), count);
}

uint32_t impl::x_waitTime(uint32_t handle, uint32_t time, uint32_t unit) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (time == 0) return 0;
    if (unit & UNIT_CLOCKED) {
        const uint32_t u = unit & ~UNIT_CLOCKED;
        if (u > UNIT_NS) return fail(c, err::INVALID_WAIT_UNITS);
        uint64_t ticks = static_cast<uint64_t>(transportOf(c).tckKHz) * time;
        switch (u) {
        case UNIT_S: ticks *= 1000; break;
        case UNIT_MS: break;
        case UNIT_US: ticks = (ticks + 999) / 1000; break;
        default: ticks = (ticks + 999999) / 1000000; break;
        }
        if (ticks > 0xFFFFFFFFull) return fail(c, err::TICKS_OUT_OF_RANGE);
        return tckWait(c, static_cast<uint32_t>(ticks));
    }
    if (persistOf(c).waitBySleep == 1) return sleepWait(c, time, unit);
    return stretchedWait(c, time, unit);
}

uint32_t impl::x_scanSetTckIdleState(uint32_t handle, uint32_t idleState) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    switch (idleState) {
    case 1: return 0;
    case 0: recordError(ctx.get(), err::IDLE_FREE_RUNNING); return 2;
    case 2: recordError(ctx.get(), err::IDLE_STOPPED_HIGH); return 2;
    default: return fail(ctx.get(), err::INVALID_IDLE_STATE);
    }
}
