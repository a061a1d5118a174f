// The TRST pin held active or released by the host.
#include "api/errors.h"
#include "jtag/jtag.h"
#include "transport/transport.h"

using namespace dorvane;

DORVANE_API uint32_t DORVANE_CALL x_setTrst(uint32_t handle, uint32_t tapId, int32_t level) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (tapId < kTapSlots && c->tapMode[tapId] == 1) return fail(c, err::SET_TRST_SWD);
    if (c->trstBus == 0) return fail(c, err::TRST_NOT_AVAILABLE);
    if (ensureControllerReady(c)) return 1;
    if (tapIdInvalid(c, tapId)) return fail(c, err::ILLEGAL_TAP_ID);
    if (level != 0 && level != 1) return fail(c, err::INVALID_TRST_LEVEL);
    const uint32_t lv = static_cast<uint32_t>(level);
    if (c->trstReleased[tapId] == lv) return 0;

    const uint8_t trst = lv ? c->trstMask : 0;
    CommandBytes<8> buf;
    if (c->trstBus == 1) {
        // TCK 0, TDI 1, TMS kept at its level, TRST as asked.
        const uint8_t T = c->tmsHigh[tapId] == 1 ? 0x08 : 0x00;
        buf.put(OP_SET_LOW, T | c->dataBusValue | trst | 0x02, c->effectiveLowDirection);
    } else {
        buf.put(OP_SET_HIGH, c->ctrlBusValue | trst, c->effectiveHighDirection);
    }
    const bool buffered = c->bufferingType != 0;
    if (!buffered) {
        buf.put(OP_READ_HIGH, OP_SEND_IMMEDIATE);
        if (registerMarker(c, 8, nullptr)) return 1;
    }
    if (queueCommands(c, buf.data, buf.length, 0)) return 1;
    if (!buffered && waitForResults(c, WAIT_ALL)) return 1;
    recordTapState(c, tapMaskOfId(tapId), ST_TLR);
    c->trstReleased[tapId] = lv;
    return 0;
}
