// The TRST pin held active or released by the host.
#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "transport/transport.h"

using namespace dorvane;

uint32_t impl::x_setTrst(uint32_t handle, uint32_t tapId, int32_t level) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (tapId < kTapSlots && transportOf(c).tapMode[tapId] == TapMode::SwdBridge) return fail(c, err::SET_TRST_SWD);
    if (transportOf(c).trstBus == 0) return fail(c, err::TRST_NOT_AVAILABLE);
    if (ensureControllerReady(c)) return 1;
    if (tapIdInvalid(c, tapId)) return fail(c, err::ILLEGAL_TAP_ID);
    if (level != 0 && level != 1) return fail(c, err::INVALID_TRST_LEVEL);
    const uint32_t lv = static_cast<uint32_t>(level);
    if (transportOf(c).trstReleased[tapId] == lv) return 0;

    CommandBytes<8> buf;
    putTrstPinCommand(c, tapId, lv ? transportOf(c).trstMask : 0, buf);
    if (queuePinCommands(c, buf)) return 1;
    recordTapState(c, tapMaskOfId(tapId), ST_TLR);
    transportOf(c).trstReleased[tapId] = lv;
    return 0;
}
