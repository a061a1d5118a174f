// TMS and TRST resets: both leave the TAP in Test-Logic-Reset.
#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "swd/swd.h"
#include "transport/transport.h"

using namespace dorvane;

namespace dorvane {

uint32_t tmsResetTap(KpxContext* ctx, uint32_t tapId) {
    if (ensureControllerReady(ctx)) return 1;
    const uint32_t mask = tapMaskOfId(tapId);
    if (selectTaps(ctx, mask)) return 1;
    const bool buffered = transportOf(ctx).bufferingType != 0;
    CommandBytes<8> buf;
    buf.put(buffered ? OP_TMS : OP_TMS_READ, 0x04, 0xFF);   // five TCKs, TMS 1, TDI 1
    if (!buffered) {
        buf.put(OP_SEND_IMMEDIATE);
        if (registerMarker(ctx, 1, nullptr)) return 1;
    }
    if (queueCommands(ctx, buf.data, buf.length, 0)) return 1;
    if (!buffered && waitForResults(ctx, WAIT_ALL)) return 1;
    recordTapState(ctx, mask, ST_TLR);
    recordTmsHigh(ctx, mask, 1);
    return 0;
}

// A BSCAN2SWD TAP's TMS or TRST reset is the SWD line reset; the virtual TAP is then in
// Test-Logic-Reset with TMS high.
static uint32_t lineResetSwdTap(KpxContext* ctx, uint32_t tapId) {
    if (swdLineReset(ctx, tapId)) return 1;
    tapsOf(ctx).tapState[tapId] = ST_TLR;
    transportOf(ctx).tmsHigh[tapId] = 1;
    return 0;
}

}  // namespace dorvane

uint32_t impl::x_tmsReset(uint32_t handle, uint32_t tapId) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (tapIdInvalid(ctx.get(), tapId)) return fail(ctx.get(), err::ILLEGAL_TAP_ID);
    if (transportOf(ctx).tapMode[tapId] == TapMode::SwdBridge) return lineResetSwdTap(ctx.get(), tapId);
    return tmsResetTap(ctx.get(), tapId);
}

uint32_t impl::x_trstReset(uint32_t handle, uint32_t tapId) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (tapIdInvalid(c, tapId)) return fail(c, err::ILLEGAL_TAP_ID);
    if (transportOf(c).tapMode[tapId] == TapMode::SwdBridge) return lineResetSwdTap(c, tapId);
    if (transportOf(c).trstBus == 0) return fail(c, err::TRST_NOT_AVAILABLE);
    if (ensureControllerReady(c)) return 1;
    if (transportOf(c).trstReleased[tapId] == 0) return 0;   // held active already: the TAP is in TLR

    // TRST active for one TCK (TMS held where it is), then released.
    const bool tmsHigh = transportOf(c).tmsHigh[tapId] == 1;
    CommandBytes<24> buf;
    putTrstPinCommand(c, tapId, 0, buf);
    if (transportOf(c).baseClockKHz == 30000) buf.put(OP_CLOCK_BITS, 0x00);
    else buf.put(OP_TMS, 0x00, tmsHigh ? 0xFF : 0x80);
    putTrstPinCommand(c, tapId, transportOf(c).trstMask, buf);
    if (queuePinCommands(c, buf)) return 1;
    recordTapState(c, tapMaskOfId(tapId), ST_TLR);
    return 0;
}
