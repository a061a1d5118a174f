// The direct scan's step encoder on its own, for what the pod's wiring cannot show: an
// active-high TRST pin on the high byte, and tracking from an unknown state. Runs, compares and batches are checked on the pod.
#include <gtest/gtest.h>

#include <vector>

#include "jtag/jtag.h"
#include "pod/pod.h"

using namespace dorvane;
using Bytes = std::vector<uint8_t>;

namespace {

struct Capture : DirectScanEncoder::Hooks {
    unsigned calls = 0;
    uint32_t runClosed(uint32_t, uint32_t, uint32_t, uint32_t) override { return ++calls, 0; }
    uint32_t sendBatch(const uint8_t*, uint32_t, uint32_t, uint32_t) override { return ++calls, 0; }
};

constexpr DirectScanPins kHighTrst{2, 0x10, 0x50, 0x03, 0x5B, 0x13};

Bytes encode(const DirectScanPins& pins, uint32_t start, const Bytes& steps, Capture& cap, uint32_t* end = nullptr) {
    DirectScanEncoder enc(pins, start, start == ST_TLR, cap);
    EXPECT_EQ(enc.encode(steps.data(), static_cast<uint32_t>(steps.size())), 0u);
    if (end) *end = enc.trackedState();
    return {enc.bytes(), enc.bytes() + enc.length()};
}

}  // namespace

TEST(DirectScanEncoder, TrstStepsDriveAnActiveHighPinThroughTheHighByte) {
    Capture cap;
    uint32_t end = 0;
    Bytes out = encode(kHighTrst, ST_RTI, {0x10}, cap, &end);
    EXPECT_EQ(out, (Bytes{0x80, 0x50, 0x5B, 0x82, 0x03, 0x13, 0x1B, 0x00, 0x00}));
    EXPECT_EQ(end, ST_TLR);
    EXPECT_EQ(cap.calls, 0u);
}

TEST(DirectScanEncoder, FiveTmsHighStepsLeaveAnUnknownStateForTestLogicReset) {
    constexpr DirectScanPins kNoTrst{0, 0, 0x50, 0x00, 0x5B, 0x00};
    for (uint32_t start : {uint32_t(ST_UNKNOWN), uint32_t(ST_CHAINED_EXIT1)}) {
        Capture cap;
        uint32_t end = 0;
        encode(kNoTrst, start, Bytes(4, 0x09), cap, &end);
        EXPECT_NE(end, ST_TLR) << start;
        encode(kNoTrst, start, Bytes(5, 0x09), cap, &end);
        EXPECT_EQ(end, ST_TLR) << start;
    }
}
