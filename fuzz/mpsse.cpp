// The MPSSE byte stream into the vpod engine through its in-process D2XX calls: the first
// byte picks the channel (JTAG chain or SWD target on the default board), the rest is written
// in MPSSE mode, and whatever comes back is read with a short time-out.
#include <cstdint>
#include <vector>

#include "vpod/control.h"
#include "vpod/vpod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] { vpod::control::loadDefaultBoard(); return true; }();
    (void)ready;
    if (size < 1) return 0;
    vpod::Handle* h = nullptr;
    if (vpod::open(data[0] & 1, &h) != vpod::kOk) __builtin_trap();
    vpod::setTimeouts(h, 1, 1);
    vpod::setBitMode(h, 0, 0);
    vpod::setBitMode(h, 0, 2);
    uint32_t written = 0;
    if (size > 1 && vpod::write(h, data + 1, uint32_t(size - 1), &written) == vpod::kOk && written > size - 1)
        __builtin_trap();
    uint32_t queued = 0;
    if (vpod::getQueueStatus(h, &queued) == vpod::kOk && queued) {
        std::vector<uint8_t> in(queued + 1);
        uint32_t got = 0;
        vpod::read(h, in.data(), uint32_t(in.size()), &got);   // one byte more: the time-out path
        if (got > queued) __builtin_trap();
    }
    vpod::purge(h, vpod::kPurgeRx | vpod::kPurgeTx);
    vpod::close(h);
    return 0;
}
