// Wait commands: how a TCK count is cut into commands, and the stretched single TCK, whose
// length is measured on the virtual pod's simulated clock.
#include <gtest/gtest.h>

#include <vector>

#include "../vpod/vpod_util.h"
#include "jtag/jtag.h"

using namespace dorvane;

TEST(TckWaitPlan, CommandsAddUpToTheCount) {
    for (bool fast : {false, true})
        for (bool buffered : {false, true})
            for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 999u, 1000u, 1001u, 8000u, 524288u, 524289u, 5000000u}) {
                const TckWaitPlan p = planTckWait(n, fast, buffered);
                const uint64_t unitTcks = fast ? 524288ull : 1000ull;
                EXPECT_EQ(p.fullCommands * unitTcks + p.remainderBytes * 8ull + p.bits, n) << n;
                EXPECT_LT(p.remainderBytes, fast ? 65536u : 125u);
                EXPECT_LE(p.bits, 8u);
                // Without buffering a wait ends in a bit command that reads, so its end can be seen.
                if (!buffered && n) {
                    EXPECT_GE(p.bits, 1u) << n;
                }
            }
}

// Every form of the stretched TCK, run on a pod chip of the same clock base: one TCK, as long as
// P + 1 base periods less the command overhead a real chip adds (the pod adds none; at most 20
// periods), then the divisor in force again with divide-by-5 off, and a read exactly when unbuffered.
TEST(StretchedTck, OneClockOfPPlusOneBasePeriodsOnBothChips) {
    vpodtest::loadBoard("[Device1]\nType=FT2232H\nSerial=WT01\nChannelA=loopback\n"
                        "[Device2]\nType=FT2232C\nSerial=WT02\nChannelA=loopback\n");
    std::vector<uint32_t> waits;   // short waits by their excess over the divisor, then long ones
    for (uint32_t e = 0; e < 24; ++e) waits.push_back(e);
    for (uint32_t p : {40u, 1000u, 29999u, 59999u, 65536u, 299999u}) waits.push_back(p);
    for (bool fast : {true, false}) {
        const std::string iface = fast ? "WT01A" : "WT02A";
        const double basePs = fast ? 1e12 / 30e6 : 1e12 / 6e6;   // longest wait: 10 ms
        vpodtest::Dev dev(iface);
        for (bool buffered : {true, false})
            for (uint32_t d : {0u, 5u, 0x0102u})
                for (uint32_t w : waits) {
                    const uint32_t P = w < 24 ? d + w : w;
                    if (P >= (fast ? 300000u : 60000u)) continue;
                    uint8_t out[32];
                    const uint32_t n = stretchedTckBytes(P, d, fast, buffered, out);
                    dev.send({0x86, uint8_t(d & 0xFF), uint8_t(d >> 8)});
                    if (fast) dev.send({0x8A});
                    ASSERT_TRUE(vpod::control::resetSimulatedTime(iface));
                    dev.send(vpodtest::Bytes(out, out + n));
                    uint64_t ns = 0;
                    vpod::control::ChipState cs;
                    ASSERT_TRUE(vpod::control::simulatedTimeNs(iface, &ns));
                    ASSERT_TRUE(vpod::control::chipState(iface, &cs));
                    const double periods = double(ns) * 1000.0 / basePs;
                    SCOPED_TRACE(testing::Message() << "fast " << fast << " buffered " << buffered << " d " << d
                                                    << " P " << P);
                    EXPECT_EQ(cs.tckCycles, 1u);
                    EXPECT_LE(periods, P + 1.5);
                    EXPECT_GE(periods, P + 1.0 - 20.5);
                    EXPECT_EQ(cs.divisor, d);
                    EXPECT_FALSE(fast && cs.divideBy5);
                    EXPECT_EQ(cs.rxQueued > 0, !buffered);   // also catches a bad-command answer
                    if (cs.rxQueued) dev.receive(cs.rxQueued);
                }
    }
}
