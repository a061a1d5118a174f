// TAP state tracking and the moves between the four stable states.
#include <atomic>
#include <new>

#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "swd/swd.h"
#include "transport/transport.h"

using namespace dorvane;

namespace dorvane {
namespace {

// This layer's part of every controller context.
[[maybe_unused]] const bool kPartRegistered = registerContextPart(
    TapPart::kId, []() -> ContextPart* { return new (std::nothrow) TapPart(); });

// Next state after one TCK, by current code, for TMS = 0 and TMS = 1.
constexpr uint32_t kNextTms0[kStateTableSize] = {
    0, 2, 2, 3, 4, 0, 0, 10, 11, 0, 13, 14, 0, 13, 14, 0, 2, 2, 0, 3, 4, 0, 13, 14, 0, 0, 0, 0,
};
constexpr uint32_t kNextTms1[kStateTableSize] = {
    24, 1, 7, 22, 23, 0, 0, 8, 1, 0, 19, 20, 0, 19, 20, 0, 7, 7, 0, 16, 17, 0, 16, 17, 25, 26, 27, 1,
};

// The TAP mask of each id, bit i-1 for id i.
constexpr uint32_t kMaskTable[32] = {
    0x00000001, 0x00000002, 0x00000004, 0x00000008, 0x00000010, 0x00000020, 0x00000040, 0x00000080,
    0x00000100, 0x00000200, 0x00000400, 0x00000800, 0x00001000, 0x00002000, 0x00004000, 0x00008000,
    0x00010000, 0x00020000, 0x00040000, 0x00080000, 0x00100000, 0x00200000, 0x00400000, 0x00800000,
    0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000, 0x20000000, 0x40000000, 0x80000000,
};

// Stable-state moves: length byte and TMS byte, [from-1][to-1]. The pause-to-PIR move is two
// commands and is handled apart.
struct Path { uint8_t len, tms; };
constexpr Path kMoves[4][4] = {
    {{0x03, 0x9E}, {0x00, 0x80}, {0x04, 0x8A}, {0x05, 0x96}},   // from TLR
    {{0x02, 0x8F}, {0x00, 0x80}, {0x03, 0x85}, {0x04, 0x8B}},   // from RTI
    {{0x04, 0xBF}, {0x02, 0x83}, {0x05, 0x97}, {0x04, 0x8B}},   // from PDR
    {{0x04, 0xBF}, {0x02, 0x83}, {0x05, 0x97}, {0x04, 0x8B}},   // from PIR
};

// Scan entry paths: [row][DR n>0, DR n=0, IR n>0, IR n=0]; rows TLR, RTI, PDR, PIR, chained Exit1.
constexpr Path kEntries[5][4] = {
    {{0x03, 0x82}, {0x03, 0x9A}, {0x04, 0x86}, {0x04, 0xB6}},
    {{0x02, 0x81}, {0x02, 0x8D}, {0x03, 0x83}, {0x03, 0x9B}},
    {{0x01, 0x81}, {0x00, 0x83}, {0x05, 0x8F}, {0x05, 0xEF}},
    {{0x04, 0x87}, {0x04, 0xB7}, {0x01, 0x81}, {0x00, 0x83}},
    {{0x03, 0x83}, {0x03, 0x9B}, {0x04, 0x87}, {0x04, 0xB7}},
};
constexpr Path kSlowEntries[4] = {{0x01, 0x80}, {0x01, 0x86}, {0x02, 0x81}, {0x02, 0x8D}};

}  // namespace

uint32_t nextTapState(uint32_t state, uint32_t tms) {
    if (state >= kStateTableSize) return 0;
    return tms ? kNextTms1[state] : kNextTms0[state];
}

uint32_t movePathBytes(uint32_t from, uint32_t to, uint8_t op, uint8_t* out) {
    if (from < 1 || from > 4 || to < 1 || to > 4) return 0;
    uint32_t n = 0;
    if ((from == ST_PDR || from == ST_PIR) && to == ST_PIR) {
        out[n++] = OP_TMS; out[n++] = 0x01; out[n++] = 0x87;   // 1,1 always without read
    }
    const Path& p = kMoves[from - 1][to - 1];
    out[n++] = op; out[n++] = p.len; out[n++] = p.tms;
    return n;
}

uint32_t slowMoveTailBytes(uint32_t to, uint8_t op, uint8_t* out) {
    Path p;
    switch (to) {
    case ST_TLR: p = {0x01, 0x8F}; break;
    case ST_PDR: p = {0x02, 0x82}; break;
    case ST_PIR: p = {0x03, 0x85}; break;
    default: return 0;
    }
    out[0] = op; out[1] = p.len; out[2] = p.tms;
    return 3;
}

uint32_t scanEntryBytes(uint32_t from, bool dr, bool nonEmpty, uint8_t* out) {
    uint32_t row;
    if (from >= 1 && from <= 4) row = from - 1;
    else if (from == ST_CHAINED_EXIT1) row = 4;
    else return 0;
    const Path& p = kEntries[row][(dr ? 0 : 2) + (nonEmpty ? 0 : 1)];
    out[0] = OP_TMS; out[1] = p.len; out[2] = p.tms;
    return 3;
}

uint32_t slowScanEntryTailBytes(bool dr, bool nonEmpty, uint8_t* out) {
    const Path& p = kSlowEntries[(dr ? 0 : 2) + (nonEmpty ? 0 : 1)];
    out[0] = OP_TMS; out[1] = p.len; out[2] = p.tms;
    return 3;
}

void stopPathBytes(uint32_t stopState, uint8_t* lengthByte, uint8_t* tmsByte) {
    switch (stopState) {
    case ST_TLR: *lengthByte = 0x03; *tmsByte = 0x9F; break;
    case ST_PDR: *lengthByte = 0x04; *tmsByte = 0x8B; break;
    case ST_PIR: *lengthByte = 0x05; *tmsByte = 0x97; break;
    default: *lengthByte = 0x01; *tmsByte = 0x81; break;   // RTI
    }
}

uint32_t tapIdInvalid(KpxContext*, uint32_t tapId) { return tapId != 1; }
uint32_t tapMaskInvalid(KpxContext*, uint32_t tapMask) { return tapMask != 0x00000001u; }

uint32_t tapIndexOfMask(uint32_t tapMask) {
    for (uint32_t i = 0; i < 32; ++i)
        if (tapMask & kMaskTable[i]) return i + 1;
    return 0;
}

uint32_t tapCountOfMask(uint32_t tapMask) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < 32; ++i)
        if (tapMask & kMaskTable[i]) ++count;
    return count;
}

void resetTapState(KpxContext* ctx) {
    tapsOf(ctx) = TapPart();
}

uint32_t selectTaps(KpxContext* ctx, uint32_t tapMask) {
    if (tapMask == transportOf(ctx).selectedTapMask) return 0;
    if (tapMask != 0 && tapIndexOfMask(tapMask) == 0) return fail(ctx, err::OUT_OF_RANGE);
    transportOf(ctx).selectedTapMask = tapMask;
    return 0;   // one TAP: selecting costs no command bytes
}

void recordTapState(KpxContext* ctx, uint32_t tapMask, uint32_t code) {
    if (tapMask & 1u) tapsOf(ctx).tapState[1] = code;
}

void recordTmsHigh(KpxContext* ctx, uint32_t tapMask, uint32_t flag) {
    if (tapMask & 1u) transportOf(ctx).tmsHigh[1] = flag;
}

uint32_t waitCompletionWord(KpxContext* ctx, volatile uint32_t* word) { return waitForDelivery(ctx, word); }

uint32_t registerMarker(KpxContext* ctx, uint32_t bitCount, volatile uint32_t* doneFlag) {
    ResultRecord* rec = newResultRecord(ctx);
    if (!rec) return 1;
    rec->bitCount = bitCount;
    rec->lastBitPosition = (bitCount - 1) % 8;
    rec->doneFlag = doneFlag;
    transportOf(ctx).pendingReadBytes += 1;
    return 0;
}

uint32_t appendSlowFirstTck(KpxContext* ctx, uint8_t* out, uint32_t* length) {
    uint32_t n = emitClockDivisor(ctx, 2, 0, out + *length);
    if (n == 0) return 1;
    *length += n;
    out[(*length)++] = OP_TMS; out[(*length)++] = 0x00; out[(*length)++] = 0x83;
    n = emitClockDivisor(ctx, 0, 0, out + *length);
    if (n == 0) return 1;
    *length += n;
    return 0;
}

uint32_t moveTaps(KpxContext* ctx, uint32_t tapMask, uint32_t target) {
    uint32_t i = tapIndexOfMask(tapMask);
    if (i >= 1 && i < kTapSlots && transportOf(ctx).tapMode[i] == TapMode::SwdBridge) {
        // The SWD bridge's TAP has no TCK of its own: commit what the virtual TAP holds.
        uint32_t r = 0;
        if (swdOf(ctx).swd[i].irUpdatePending) r = swdUpdateIr(ctx, i);
        else if (swdOf(ctx).swd[i].drUpdatePending) r = swdUpdateDr(ctx, i);
        if (r) return r;
        recordTapState(ctx, tapMask, target);
        recordTmsHigh(ctx, tapMask, target == ST_TLR);
        return 0;
    }
    if (selectTaps(ctx, tapMask)) return 1;
    uint32_t s = (i >= 1 && i < kTapSlots) ? tapsOf(ctx).tapState[i] : 0;
    if (s == ST_UNKNOWN) return fail(ctx, err::STATE_UNKNOWN);
    if (s > 4 || target < 1 || target > 4) return fail(ctx, err::STABLE_STATE_EXPECTED_17);

    const bool buffered = transportOf(ctx).bufferingType != 0;
    const uint8_t op = buffered ? OP_TMS : OP_TMS_READ;
    CommandBytes<32> buf;
    if (s == ST_RTI && target != ST_RTI && tapsOf(ctx).slowExitArmed[i]) {
        if (appendSlowFirstTck(ctx, buf.data, &buf.length)) return 1;
        buf.length += slowMoveTailBytes(target, op, buf.data + buf.length);
        tapsOf(ctx).slowExitArmed[i] = 0;
    } else {
        buf.length += movePathBytes(s, target, op, buf.data + buf.length);
    }
    recordTapState(ctx, tapMask, target);
    recordTmsHigh(ctx, tapMask, target == ST_TLR);

    if (!buffered) {
        buf.put(OP_SEND_IMMEDIATE);
        if (registerMarker(ctx, 1, nullptr)) return 1;
    }
    if (queueCommands(ctx, buf.data, buf.length, 0)) return 1;
    if (buffered) return 0;
    return waitForResults(ctx, WAIT_ALL);
}

}  // namespace dorvane

// --- exports ---

uint32_t impl::x_moveToState(uint32_t handle, uint32_t tapId, int32_t state) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapIdInvalid(ctx.get(), tapId)) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (tapsOf(ctx).tapState[tapId] == ST_UNKNOWN) return fail(ctx.get(), err::STATE_UNKNOWN);
    if (state < 1 || state > 4) return fail(ctx.get(), err::STABLE_STATE_EXPECTED);
    if (transportOf(ctx).trstReleased[tapId] == 0) return fail(ctx.get(), err::TRST_ACTIVE);
    if (ensureControllerReady(ctx.get())) return 1;
    return moveTaps(ctx.get(), tapMaskOfId(tapId), static_cast<uint32_t>(state));
}

uint32_t impl::x_commonMoveToState(uint32_t handle, uint32_t tapMask, int32_t state) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapMaskInvalid(ctx.get(), tapMask)) return fail(ctx.get(), err::WRONG_TAP_MASK);
    if (state < 1 || state > 4) return fail(ctx.get(), err::STABLE_STATE_EXPECTED);
    if (ensureControllerReady(ctx.get())) return 1;
    return moveTaps(ctx.get(), tapMask, static_cast<uint32_t>(state));
}

uint32_t impl::x_commonMoveToStateTl(uint32_t handle, const uint32_t* tapList, uint32_t listLength,
                                                        int32_t state) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (!tapList) return fail(ctx.get(), err::NULL_POINTER);
    if (listLength != kMaxTapId) return fail(ctx.get(), err::TAP_LIST_LENGTH);
    uint32_t mask = 0;
    if (tapList[0] == kAllTaps) {
        mask = 0x00000001u;
    } else {
        for (uint32_t k = 0; k < listLength; ++k) {
            if (tapIdInvalid(ctx.get(), tapList[k])) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
            uint32_t bit = tapMaskOfId(tapList[k]);
            if (mask & bit) return fail(ctx.get(), err::TAP_REDEFINED);
            mask |= bit;
        }
    }
    if (state < 1 || state > 4) return fail(ctx.get(), err::STABLE_STATE_EXPECTED);
    if (ensureControllerReady(ctx.get())) return 1;
    return moveTaps(ctx.get(), mask, static_cast<uint32_t>(state));
}

uint32_t impl::x_scanGetState(uint32_t handle, uint32_t tapId, uint32_t* state) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapIdInvalid(ctx.get(), tapId)) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (!state) return fail(ctx.get(), err::NULL_POINTER);
    uint32_t s = tapsOf(ctx).tapState[tapId];
    if (s <= ST_PIR) { *state = s; return 0; }
    if (s >= ST_TMS1_X1 && s <= ST_TMS1_X4) { *state = ST_UNKNOWN; return 0; }
    return 1;   // a transient state cannot be reported; no new error code
}

uint32_t impl::x_scanAssumeState(uint32_t handle, uint32_t tapId, int32_t state) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapIdInvalid(ctx.get(), tapId)) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (state < 1 || state > 4) return fail(ctx.get(), err::STABLE_STATE_EXPECTED_17);
    if (transportOf(ctx).trstReleased[tapId] == 0) return fail(ctx.get(), err::TRST_ACTIVE);
    uint32_t mask = tapMaskOfId(tapId);
    recordTapState(ctx.get(), mask, static_cast<uint32_t>(state));
    recordTmsHigh(ctx.get(), mask, state == ST_TLR);
    return 0;
}

uint32_t impl::x_scanSetStopState(uint32_t handle, int32_t state) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (state < 1 || state > 4) return fail(ctx.get(), err::STABLE_STATE_EXPECTED_17);
    for (uint32_t t = 1; t < kTapSlots; ++t) {
        tapsOf(ctx).irStopState[t] = static_cast<uint32_t>(state);
        tapsOf(ctx).drStopState[t] = static_cast<uint32_t>(state);
    }
    return 0;
}

uint32_t impl::x_scanProtocol(uint32_t handle, uint32_t tapId, uint32_t protocol) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapId == kAllTaps) {
        if (protocol != 1) return fail(ctx.get(), err::INVALID_PROTOCOL);
        if (tapCountOfMask(transportOf(ctx).selectedTapMask) != 1) return fail(ctx.get(), err::PROTOCOL_NOT_SUPPORTED);
        uint32_t i = tapIndexOfMask(transportOf(ctx).selectedTapMask);
        if (i < kTapSlots && tapsOf(ctx).tapProtocol[i] == ScanProtocol::SlowRtiExit && tapsOf(ctx).tapState[i] == ST_RTI) tapsOf(ctx).slowExitArmed[i] = 1;
        return 0;
    }
    if (tapIdInvalid(ctx.get(), tapId)) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (protocol != 0 && protocol != 2) return fail(ctx.get(), err::INVALID_PROTOCOL);
    if (tapsOf(ctx).tapProtocol[tapId] == static_cast<ScanProtocol>(protocol)) return 0;
    if (tapsOf(ctx).tapState[tapId] < 1 || tapsOf(ctx).tapState[tapId] > 4) return fail(ctx.get(), err::STATE_UNKNOWN);
    tapsOf(ctx).tapProtocol[tapId] = static_cast<ScanProtocol>(protocol);
    return 0;
}
