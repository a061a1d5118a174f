// Wait commands: how a TCK count is cut into commands, and the stretched single TCK.
#include <gtest/gtest.h>

#include <vector>

#include "jtag/jtag.h"

using namespace dorvane;

namespace {
std::vector<uint8_t> stretched(uint32_t P, uint32_t d, bool fast, bool buffered) {
    uint8_t out[32];
    uint32_t n = stretchedTckBytes(P, d, fast, buffered, out);
    return {out, out + n};
}
using Bytes = std::vector<uint8_t>;
}  // namespace

TEST(TckWaitPlan, CommandsAddUpToTheCount) {
    for (bool fast : {false, true})
        for (bool buffered : {false, true})
            for (uint32_t n : {1u, 7u, 8u, 9u, 999u, 1000u, 1001u, 8000u, 524288u, 524289u, 5000000u}) {
                TckWaitPlan p = planTckWait(n, fast, buffered);
                const uint64_t unitTcks = fast ? 524288ull : 1000ull;
                const uint64_t total = p.fullCommands * unitTcks + p.remainderBytes * 8ull + p.bits;
                EXPECT_EQ(total, n) << n << " fast " << fast << " buffered " << buffered;
                EXPECT_LT(p.remainderBytes, fast ? 65536u : 125u);
                // Without buffering the wait ends in a bit command that reads.
                if (!buffered) {
                    EXPECT_GE(p.bits, 1u);
                }
                EXPECT_LE(p.bits, 8u);
            }
    TckWaitPlan p = planTckWait(8000, false, true);
    EXPECT_EQ(p.fullCommands, 8u);
    EXPECT_EQ(p.remainderBytes, 0u);
    EXPECT_EQ(p.bits, 0u);
    p = planTckWait(8, false, false);   // no whole byte: one 8-bit read
    EXPECT_EQ(p.remainderBytes, 0u);
    EXPECT_EQ(p.bits, 8u);
    p = planTckWait(0, true, true);
    EXPECT_EQ(p.fullCommands + p.remainderBytes + p.bits, 0u);
}

TEST(StretchedTck, LongWaitsOnBothChips) {
    // The unbuffered forms are checked on the pod; 10 ms at 30000 kHz, divide-by-5 clock.
    EXPECT_EQ(stretched(299999, 0, true, true),   // buffered: q = (P - 19) / 5
              (Bytes{0x8B, 0x86, 0x5C, 0xEA, 0x8E, 0x00, 0x86, 0x00, 0x00, 0x8A}));
    // Below 65536 periods a fast chip uses the plain divisor form.
    EXPECT_EQ(stretched(29999, 0, true, true), (Bytes{0x86, 0x1E, 0x75, 0x1B, 0x00, 0x00, 0x86, 0x00, 0x00}));
}

TEST(StretchedTck, ShortWaitsByExcessOverTheDivisor) {
    const uint32_t d = 0x0102;
    auto P = [&](uint32_t e) { return d + e; };
    // Buffered, fast chip.
    EXPECT_EQ(stretched(0, d, true, true), (Bytes{0x8E, 0x00}));
    EXPECT_EQ(stretched(P(3), d, true, true), (Bytes{0x8E, 0x00}));
    EXPECT_EQ(stretched(P(4), d, true, true), (Bytes{0x1B, 0x00, 0x00}));
    EXPECT_EQ(stretched(P(6), d, true, true), (Bytes{0x86, 0x02, 0x01, 0x8E, 0x00}));
    EXPECT_EQ(stretched(P(10), d, true, true), (Bytes{0x86, 0x02, 0x01, 0x1B, 0x00, 0x00}));
    EXPECT_EQ(stretched(P(12), d, true, true), (Bytes{0x86, 0x02, 0x01, 0x8E, 0x00, 0x86, 0x02, 0x01}));
    EXPECT_EQ(stretched(P(17), d, true, true), (Bytes{0x86, 0x02, 0x01, 0x1B, 0x00, 0x00, 0x86, 0x02, 0x01}));
    // Buffered, slow chip: no 0x8E there.
    EXPECT_EQ(stretched(P(2), d, false, true), (Bytes{0x1B, 0x00, 0x00}));
    EXPECT_EQ(stretched(P(13), d, false, true), (Bytes{0x86, 0x02, 0x01, 0x1B, 0x00, 0x00, 0x86, 0x02, 0x01}));
    // Unbuffered: every form ends in a read.
    EXPECT_EQ(stretched(P(1), d, false, false), (Bytes{0x2A, 0x00}));
    EXPECT_EQ(stretched(P(5), d, true, false), (Bytes{0x3B, 0x00, 0x00}));
    EXPECT_EQ(stretched(P(8), d, true, false), (Bytes{0x86, 0x02, 0x01, 0x2A, 0x00}));
    EXPECT_EQ(stretched(P(11), d, true, false), (Bytes{0x86, 0x02, 0x01, 0x3B, 0x00, 0x00}));
    EXPECT_EQ(stretched(P(14), d, true, false), (Bytes{0x86, 0x02, 0x01, 0x86, 0x02, 0x01, 0x2A, 0x00}));
    EXPECT_EQ(stretched(P(16), d, true, false),
              (Bytes{0x86, 0x02, 0x01, 0x86, 0x02, 0x01, 0x3B, 0x00, 0x00}));
    EXPECT_EQ(stretched(P(18), d, true, false),
              (Bytes{0x86, 0x02, 0x01, 0x1B, 0x00, 0x00, 0x86, 0x02, 0x01, 0x83}));
    // A wait shorter than the divisor takes the long form.
    EXPECT_EQ(stretched(d - 1, d, false, true), (Bytes{0x86, 0xF0, 0x00, 0x1B, 0x00, 0x00, 0x86, 0x02, 0x01}));
}
