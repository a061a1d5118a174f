// The direct scan's step encoder, on its own: runs, pin commands, hold bits, read-back
// layout, batches and state tracking.
#include <gtest/gtest.h>

#include <vector>

#include "jtag/jtag.h"
#include "pod/pod.h"

using namespace dorvane;
using Bytes = std::vector<uint8_t>;

namespace {

struct Capture : DirectScanEncoder::Hooks {
    struct Run { uint32_t set, offset, bytes, bits; };
    std::vector<Run> runs;
    std::vector<Bytes> batches;
    std::vector<uint32_t> batchReadBack, batchSet;
    uint32_t runClosed(uint32_t set, uint32_t offset, uint32_t bytes, uint32_t bits) override {
        runs.push_back({set, offset, bytes, bits});
        return 0;
    }
    uint32_t sendBatch(const uint8_t* b, uint32_t n, uint32_t readBack, uint32_t set) override {
        batches.emplace_back(b, b + n);
        batchReadBack.push_back(readBack);
        batchSet.push_back(set);
        return 0;
    }
};

constexpr DirectScanPins kNoTrst{0, 0, 0x50, 0x00, 0x5B, 0x00};
constexpr DirectScanPins kHighTrst{2, 0x10, 0x50, 0x03, 0x5B, 0x13};

Bytes encode(const DirectScanPins& pins, uint32_t start, const Bytes& steps, Capture& cap, uint32_t* end = nullptr) {
    DirectScanEncoder enc(pins, start, start == ST_TLR, cap);
    EXPECT_EQ(enc.encode(steps.data(), static_cast<uint32_t>(steps.size())), 0u);
    if (end) *end = enc.trackedState();
    return {enc.bytes(), enc.bytes() + enc.length()};
}

}  // namespace

TEST(DirectScanEncoder, DataRunsBecomeByteAndBitCommands) {
    Capture cap;
    // Twelve steps: one full byte, then four bits with the hold bit repeating the last TDI.
    Bytes steps = {1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1, 0};
    EXPECT_EQ(encode(kNoTrst, ST_RTI, steps, cap), (Bytes{0x19, 0x00, 0x00, 0x55, 0x1B, 0x03, 0x06}));
    steps.back() = 1;
    EXPECT_EQ(encode(kNoTrst, ST_RTI, steps, cap), (Bytes{0x19, 0x00, 0x00, 0x55, 0x1B, 0x03, 0x1E}));
    EXPECT_TRUE(cap.runs.empty());
    EXPECT_TRUE(cap.batches.empty());
}

TEST(DirectScanEncoder, TmsChangesSetThePinsAndTrackTheState) {
    Capture cap;
    uint32_t end = 0;
    // Unknown state counts TMS-high clocks towards TLR; the chained Exit1 code starts as unknown.
    encode(kNoTrst, ST_UNKNOWN, Bytes(4, 0x09), cap, &end);
    EXPECT_EQ(end, 27u);
    encode(kNoTrst, ST_CHAINED_EXIT1, Bytes(5, 0x09), cap, &end);
    EXPECT_EQ(end, ST_TLR);
    // RTI -> Shift-DR by 1,0,0 then data: the TMS edges split the runs.
    const Bytes walk = {0x08, 0x00, 0x00, 0x01, 0x01, 0x09};
    Bytes out = encode(kNoTrst, ST_RTI, walk, cap, &end);
    EXPECT_EQ(end, ST_EXIT1_DR);
    EXPECT_EQ(out, (Bytes{0x80, 0x58, 0x5B, 0x1B, 0x00, 0x00,   // TMS 1, TDI 0
                          0x80, 0x50, 0x5B, 0x1B, 0x03, 0x1C,   // TMS 0: 0,0,1,1 + hold
                          0x80, 0x5A, 0x5B, 0x1B, 0x00, 0x03}));
}

TEST(DirectScanEncoder, TrstStepsDriveAnActiveHighPinThroughTheHighByte) {
    Capture cap;
    uint32_t end = 0;
    Bytes out = encode(kHighTrst, ST_RTI, {0x10}, cap, &end);
    EXPECT_EQ(out, (Bytes{0x80, 0x50, 0x5B, 0x82, 0x03, 0x13, 0x1B, 0x00, 0x00}));
    EXPECT_EQ(end, ST_TLR);
}

TEST(DirectScanEncoder, ComparedRunsReadAndLayOutExpectedAndMask) {
    Capture cap;
    DirectScanEncoder enc(kNoTrst, ST_RTI, false, cap);
    // 8 compared steps expecting 0xA5, then 3 compared steps expecting 1,0,1, then data.
    Bytes steps;
    for (int i = 0; i < 8; ++i) steps.push_back(0x04 | ((0xA5 >> i) & 1 ? 0x02 : 0));
    for (int e : {1, 0, 1}) steps.push_back(static_cast<uint8_t>(0x05 | (e ? 0x02 : 0)));
    steps.push_back(0x01);
    ASSERT_EQ(enc.encode(steps.data(), static_cast<uint32_t>(steps.size())), 0u);
    EXPECT_EQ(Bytes(enc.bytes(), enc.bytes() + enc.length()),
              (Bytes{0x39, 0x00, 0x00, 0x00, 0x3B, 0x02, 0x0F, 0x1B, 0x00, 0x03}));
    ASSERT_EQ(cap.runs.size(), 1u);
    EXPECT_EQ(cap.runs[0].bits, 11u);
    EXPECT_EQ(cap.runs[0].bytes, 2u);
    EXPECT_EQ(enc.readBack(), 2u);
    EXPECT_EQ(enc.expected(0)[0], 0xA5);
    EXPECT_EQ(enc.mask(0)[0], 0xFF);
    // Three bits arrive in the top of their byte.
    EXPECT_EQ(enc.expected(0)[1], 0xA0);
    EXPECT_EQ(enc.mask(0)[1], 0xE0);
    // Compare on and off alternately: each change starts a new command and a new run.
    Capture cap2;
    DirectScanEncoder alt(kNoTrst, ST_RTI, false, cap2);
    const Bytes flips = {0x05, 0x01, 0x05, 0x01};
    ASSERT_EQ(alt.encode(flips.data(), 4), 0u);
    EXPECT_EQ(Bytes(alt.bytes(), alt.bytes() + alt.length()),
              (Bytes{0x3B, 0x00, 0x03, 0x1B, 0x00, 0x03, 0x3B, 0x00, 0x03, 0x1B, 0x00, 0x03}));
    ASSERT_EQ(cap2.runs.size(), 2u);
    EXPECT_EQ(cap2.runs[1].offset, 1u);   // each run has its own place in the set
}

TEST(DirectScanEncoder, LongVectorsGoOutInAlternatingBatches) {
    Capture cap;
    DirectScanEncoder enc(kNoTrst, ST_RTI, false, cap);
    // TMS toggling every 4 steps makes many short commands; compare on all of them.
    Bytes steps;
    for (int i = 0; i < 6000; ++i) steps.push_back(static_cast<uint8_t>(0x04 | ((i / 4) % 2 ? 0x08 : 0)));
    ASSERT_EQ(enc.encode(steps.data(), static_cast<uint32_t>(steps.size())), 0u);
    ASSERT_GE(cap.batches.size(), 2u);
    uint32_t readBack = enc.readBack();
    for (size_t b = 0; b < cap.batches.size(); ++b) {
        EXPECT_GT(cap.batches[b].size(), DirectScanEncoder::kBatchLimit);
        EXPECT_LT(cap.batches[b].size(), DirectScanEncoder::kBatchLimit + 16);
        EXPECT_EQ(cap.batchSet[b], b % 2);
        readBack += cap.batchReadBack[b];
    }
    // Every compared bit is in exactly one record; each record reads whole bytes.
    uint32_t bits = 0, bytes = 0;
    for (auto& r : cap.runs) {
        bits += r.bits;
        bytes += (r.bits + 7) / 8;
        EXPECT_EQ(r.bytes, (r.bits + 7) / 8);
    }
    EXPECT_EQ(bits, 6000u);
    EXPECT_EQ(readBack, bytes);
}
