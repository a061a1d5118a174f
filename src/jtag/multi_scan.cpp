// Chained multi scans: several vectors through one register, passing Exit1 and Update
// between them, batched by switching buffering on for the operation's duration.
#include <cstdlib>

#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "transport/transport.h"

using namespace dorvane;

namespace {

uint32_t multiScan(uint32_t handle, bool dr, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount, uint32_t count,
                   uint16_t* tdo) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (tapIdInvalid(c, tapId)) return fail(c, err::ILLEGAL_TAP_ID);
    if (tapsOf(c).tapState[tapId] == ST_UNKNOWN) return fail(c, err::STATE_UNKNOWN);
    if (transportOf(c).trstReleased[tapId] == 0) return fail(c, err::TRST_ACTIVE);

    tapsOf(c).buffersOwned = 1;
    const uint32_t n = bitCount & 0xFFFF;
    const uint32_t vectors = count & 0xFFFF;
    if (vectors == 0) return fail(c, dr ? err::INVALID_DR_SHIFTS : err::INVALID_IR_SHIFTS);
    const uint32_t words = (n + 15) / 16;
    const uint32_t bytes = (n + 7) / 8;

    uint8_t* tdiCopy = nullptr;
    if (tdi && !(tdiCopy = copyWordsToBytes(tdi, n))) return fail(c, err::MEMORY_ALLOCATION);
    uint8_t* area = nullptr;
    if (tdo) {
        area = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(vectors) * bytes + 8, 1));
        if (!area) {
            std::free(tdiCopy);
            return fail(c, err::MEMORY_ALLOCATION);
        }
    }

    bool switchedOn = false;
    uint32_t r = 0;
    if (transportOf(c).bufferingType == 0) {
        if (enableBuffering(c, 1)) r = 1;
        else switchedOn = true;
    }
    const uint32_t base = dr ? static_cast<uint32_t>(SCAN_DR) : 0u;
    for (uint32_t k = 0; r == 0 && k < vectors; ++k) {
        const bool last = k + 1 == vectors;
        uint8_t* tdoAt = area ? area + static_cast<size_t>(k) * bytes : nullptr;
        uint16_t* hostAt = tdo ? tdo + static_cast<size_t>(k) * words : nullptr;
        r = scanRegister(c, last ? base : base | SCAN_CHAINED, tapId, tdiCopy, n, tdoAt, nullptr, nullptr, hostAt,
                         last ? area : nullptr);
        if (r == 0 && !last && tdi) wordsToBytes(tdi + static_cast<size_t>(k + 1) * words, n, tdiCopy);
    }
    bool delivered = r == 0;
    if (switchedOn) {
        // Switch off as buffering type 0 does; after a failure this also flushes what the
        // vectors before it queued, so their records let go of the TDO area.
        uint32_t off = disableBuffering(c);
        if (r == 0) r = off;
        delivered = off == 0;
    } else if (r != 0) {
        delivered = waitForResults(c, WAIT_ALL) == 0;
    }
    std::free(tdiCopy);
    // The area is freed here only when no record took it over and no queued record still
    // writes into it; otherwise the last record frees it on delivery.
    if (tapsOf(c).buffersOwned && delivered) std::free(area);
    return r;
}

}  // namespace

uint32_t impl::x_multiScanDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                uint32_t bitCount, uint32_t count, uint16_t* tdo) {
    return multiScan(handle, true, tapId, tdi, bitCount, count, tdo);
}

uint32_t impl::x_multiScanIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                uint32_t bitCount, uint32_t count) {
    return multiScan(handle, false, tapId, tdi, bitCount, count, nullptr);
}
