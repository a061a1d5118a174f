// The MPSSE bytes of moves, scans, resets and waits, as the virtual pod receives them.
#include <functional>

#include "../shared/vpod_fixture.h"

namespace {

// Sizes of the 0x19 / 0x39 / 0x28 byte commands in a stream that holds only scan commands
// (TMS commands, bit commands, byte commands with their data, 0x87).
std::vector<uint32_t> byteChunks(const Bytes& s) {
    std::vector<uint32_t> sizes;
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t op = s[i];
        if (op == 0x19 || op == 0x39 || op == 0x28) {
            const uint32_t n = s[i + 1] + 256u * s[i + 2] + 1;
            sizes.push_back(n);
            i += 3 + (op == 0x28 ? 0 : n);
        } else if (op == 0x4B || op == 0x6B || op == 0x1B || op == 0x3B) {
            i += 3;
        } else if (op == 0x2A) {
            i += 2;
        } else {
            i += 1;
        }
    }
    return sizes;
}

}  // namespace

// take(): what was written since the last take (or clear), clearing the trace.
class Stream : public VpodTest {
protected:
    Bytes take() {
        Bytes b = written();
        clear();
        return b;
    }
};
class Moves : public Stream {};

TEST_F(Moves, NeedAKnownStateAndFollowTheTables) {
    open(boards::standard());
    EXPECT_EQ(state(), 0u);   // right after open
    EXPECT_EQ(x_moveToState(h, 1, 2), 1u);
    EXPECT_EQ(lastCode(), err::STATE_UNKNOWN);
    EXPECT_EQ(x_moveToState(h, 2, 2), 1u);
    EXPECT_EQ(lastCode(), err::ILLEGAL_TAP_ID);

    resetAndClear();
    EXPECT_EQ(x_tmsReset(h, 1), 0u);
    EXPECT_EQ(written(), (Bytes{0x6B, 0x04, 0xFF, 0x87}));
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(tmsHigh(), 1u);

    // Every move between stable states (paths_test checks their TMS commands against the IEEE
    // model): the tracked state and both TAP models land on the target.
    using TS = vpod::control::TapState;
    const TS stable[] = {TS::TestLogicReset, TS::RunTestIdle, TS::PauseDr, TS::PauseIr};
    for (uint32_t from = 1; from <= 4; ++from)
        for (uint32_t to = 1; to <= 4; ++to) {
            ASSERT_EQ(x_moveToState(h, 1, from), 0u);
            ASSERT_EQ(x_moveToState(h, 1, to), 0u) << x_kpxErrorMsg(h);
            EXPECT_EQ(state(), to);
            EXPECT_EQ(tmsHigh(), to == 1 ? 1u : 0u);
            EXPECT_EQ(tap(0).state, stable[to - 1]) << from << "->" << to;
            EXPECT_EQ(tap(1).state, stable[to - 1]);
        }
    // PDR to PIR takes eight TMS clocks: two commands, the first without a read.
    ASSERT_EQ(x_moveToState(h, 1, 3), 0u);
    clear();
    ASSERT_EQ(x_moveToState(h, 1, 4), 0u);
    EXPECT_EQ(take(), (Bytes{0x4B, 0x01, 0x87, 0x6B, 0x04, 0x8B, 0x87}));
    // Buffered moves only queue (op 0x4B, no 0x87).
    ASSERT_EQ(x_moveToState(h, 1, 1), 0u);
    clear();
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    EXPECT_EQ(x_moveToState(h, 1, 2), 0u);
    EXPECT_EQ(x_moveToState(h, 1, 3), 0u);
    EXPECT_TRUE(written().empty());
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
    EXPECT_EQ(written(), (Bytes{0x4B, 0x00, 0x80, 0x4B, 0x03, 0x85, 0x83, 0x87}));
    EXPECT_EQ(tap(0).state, TS::PauseDr);
}

TEST_F(Moves, ArgumentChecksAndDeclaredStates) {
    open(boards::standard());
    clear();
    // Declared states send nothing and need no set-up.
    EXPECT_EQ(x_scanAssumeState(h, 1, 2), 0u);
    EXPECT_TRUE(written().empty());
    uint32_t list[2] = {0xFFFFFFFFu, 1};
    const uint32_t two = 2;
    auto refusedWith = [&](uint32_t result) { return result == 1 ? lastCode() : 0u; };
    const std::pair<uint32_t, uint32_t> refused[] = {   // (error code of the bad call, expected)
        {refusedWith(x_scanAssumeState(h, 1, 5)), err::STABLE_STATE_EXPECTED_17}, {refusedWith(x_moveToState(h, 1, 0)), err::STABLE_STATE_EXPECTED},
        {refusedWith(x_commonMoveToState(h, 3, 2)), err::WRONG_TAP_MASK}, {refusedWith(x_commonMoveToStateTl(h, list, 2, 2)), err::TAP_LIST_LENGTH},
        {refusedWith(x_commonMoveToStateTl(h, nullptr, 1, 2)), err::NULL_POINTER},
        {refusedWith(x_commonMoveToStateTl(h, &two, 1, 2)), err::ILLEGAL_TAP_ID},
        {refusedWith(x_scanGetState(h, 1, nullptr)), err::NULL_POINTER}, {refusedWith(x_scanSetStopState(h, 0)), err::STABLE_STATE_EXPECTED_17},
    };
    for (const auto& [got, want] : refused) EXPECT_EQ(got, want);
    EXPECT_EQ(state(), 2u);   // failed checks changed nothing

    list[0] = 0xFFFFFFFFu;
    ASSERT_EQ(x_commonMoveToStateTl(h, list, 1, 3), 0u);
    EXPECT_EQ(state(), 3u);
    ASSERT_EQ(x_commonMoveToState(h, 1, 2), 0u);
    EXPECT_EQ(state(), 2u);
    EXPECT_EQ(tap(0).state, vpod::control::TapState::RunTestIdle);
}

TEST_F(Moves, SlowFirstTckOutOfRunTestIdle) {
    open(boards::slowChip());
    resetAndClear();
    ASSERT_EQ(x_setScanFrequency(h, 1000), 0u);
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    EXPECT_EQ(x_scanProtocol(h, 1, 3), 1u);
    EXPECT_EQ(lastCode(), err::INVALID_PROTOCOL);
    ASSERT_EQ(x_scanProtocol(h, 1, 2), 0u);
    ASSERT_EQ(x_scanProtocol(h, 0xFFFFFFFFu, 1), 0u);   // arms
    clear();
    ASSERT_EQ(x_moveToState(h, 1, 3), 0u);
    EXPECT_EQ(take(), (Bytes{0x86, 0xB7, 0x0B, 0x4B, 0x00, 0x83, 0x86, 0x05, 0x00, 0x6B, 0x02, 0x82, 0x87}));
    EXPECT_EQ(tap(0).state, vpod::control::TapState::PauseDr);
    EXPECT_EQ(chip().divisor, 5);   // the frequency in force is back
    // Used once: the next departure from RTI is ordinary; arming outside RTI does nothing.
    ASSERT_EQ(x_scanProtocol(h, 0xFFFFFFFFu, 1), 0u);
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    clear();
    ASSERT_EQ(x_moveToState(h, 1, 3), 0u);
    EXPECT_EQ(take(), (Bytes{0x6B, 0x03, 0x85, 0x87}));
    // A scan leaving RTI takes the slow clock too.
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    ASSERT_EQ(x_scanProtocol(h, 0xFFFFFFFFu, 1), 0u);
    clear();
    const uint16_t tdi = 0x0005;
    ASSERT_EQ(x_scanIr(h, 1, &tdi, 3, nullptr), 0u);
    EXPECT_EQ(written(), (Bytes{0x86, 0xB7, 0x0B, 0x4B, 0x00, 0x83, 0x86, 0x05, 0x00, 0x4B, 0x02, 0x81, 0x1B,
                                0x01, 0x05, 0x4B, 0x00, 0x83, 0x6B, 0x01, 0x81, 0x87}));
}

class Scans : public Stream {};

// One call from a stable state: the exact stream of each kind of scan and the state it leaves.
TEST_F(Scans, EachKindOfScanKeepsItsStream) {
    const uint16_t a5 = 0x00A5, ir = 0x0005, raw = 0x0ABC, two[2] = {0x1234, 0x5678};
    uint16_t tdo = 0;
    struct Case { const char* what; uint32_t from; std::function<uint32_t()> call; Bytes stream; uint32_t to; int tdo; };
    const Case cases[] = {
        {"DR, 8 bits with TDO (the debug port's IDCODE)", 2, [&] { return x_scanDr(h, 1, &a5, 8, &tdo); },
         {0x4B, 0x02, 0x81, 0x3B, 0x06, 0xA5, 0x6B, 0x00, 0x83, 0x6B, 0x01, 0x81, 0x87}, 2, 0x77},
        {"IR, 6 bits without TDO", 2, [&] { return x_scanIr(h, 1, &ir, 6, nullptr); },
         {0x4B, 0x03, 0x83, 0x1B, 0x04, 0x05, 0x4B, 0x00, 0x03, 0x6B, 0x01, 0x81, 0x87}, 2, -1},
        {"DR without TDI: read-only commands, a zero last bit", 1, [&] { return x_scanDr(h, 1, nullptr, 12, &tdo); },
         {0x4B, 0x03, 0x82, 0x28, 0x00, 0x00, 0x2A, 0x02, 0x6B, 0x00, 0x03, 0x6B, 0x01, 0x81, 0x87}, 2, 0x477},
        {"a short count of 65536 is zero bits", 2, [&] { return x_scanDr(h, 1, two, 65536, nullptr); },
         {0x4B, 0x02, 0x8D, 0x6B, 0x01, 0x81, 0x87}, 2, -1},
        {"raw shift: the state stays", 3, [&] { return x_scanTdio(h, 1, &raw, 12, &tdo); },
         {0x39, 0x00, 0x00, 0xBC, 0x3B, 0x03, 0x0A, 0x83, 0x87}, 3, -1},
        {"raw, nothing in or out: clocked with a read, dropped", 3, [&] { return x_scanTdio(h, 1, nullptr, 9, nullptr); },
         {0x28, 0x00, 0x00, 0x2A, 0x00, 0x83, 0x87}, 3, -1},
    };
    ready(1);
    for (const Case& c : cases) {
        ASSERT_EQ(x_moveToState(h, 1, c.from), 0u);
        clear();
        ASSERT_EQ(c.call(), 0u) << c.what << ": " << x_kpxErrorMsg(h);
        EXPECT_EQ(take(), c.stream) << c.what;
        EXPECT_EQ(state(), c.to) << c.what;
        if (c.tdo >= 0) { EXPECT_EQ(tdo, c.tdo) << c.what; }
    }
    EXPECT_EQ(tap(0).irUpdates, 1u);
    EXPECT_EQ(x_scanTdio(h, 2, &raw, 12, &tdo), 1u);
    EXPECT_EQ(lastCode(), err::ILLEGAL_TAP_ID);
}

TEST_F(Scans, LongScansAreCutInto2048ByteChunksRemainderFirst) {
    ready(2);
    std::vector<uint16_t> tdi(5000 / 2 + 4, 0xA55A);
    ASSERT_EQ(x_scanLDr(h, 1, tdi.data(), 16385, nullptr, nullptr, nullptr), 0u);
    Bytes s = take();
    EXPECT_EQ(byteChunks(s), (std::vector<uint32_t>{2048}));
    // Entry, one chunk with its data, then only the last-bit command and the end path.
    ASSERT_EQ(s.size(), 3u + 3 + 2048 + 3 + 3 + 1);
    EXPECT_EQ(Bytes(s.end() - 7, s.end()), (Bytes{0x4B, 0x00, 0x03, 0x6B, 0x01, 0x81, 0x87}));
    EXPECT_EQ(s[3 + 3], 0x5A);
    ASSERT_EQ(x_scanLDr(h, 1, tdi.data(), 16384, nullptr, nullptr, nullptr), 0u);
    s = take();
    EXPECT_EQ(byteChunks(s), (std::vector<uint32_t>{2047}));
    EXPECT_EQ(Bytes(s.end() - 10, s.end()), (Bytes{0x1B, 0x06, 0xA5, 0x4B, 0x00, 0x83, 0x6B, 0x01, 0x81, 0x87}));
    ASSERT_EQ(x_scanLDr(h, 1, nullptr, 5000 * 8 + 1, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(byteChunks(written()), (std::vector<uint32_t>{904, 2048, 2048}));
}

TEST_F(Scans, PauseAndStopStates) {
    ready(2);
    const uint16_t tdi[2] = {0x1234, 0x5678};
    // The end paths' TMS bits are checked against the IEEE model in paths_test; here the
    // recorded state and the TAP model's agree.
    ASSERT_EQ(x_scanToPauseIr(h, 1, tdi, 9, nullptr), 0u);
    EXPECT_EQ(state(), 4u);
    EXPECT_EQ(tap(0).state, vpod::control::TapState::PauseIr);
    // Zero bits in the pause state of the same register stays there.
    ASSERT_EQ(x_scanToPauseIr(h, 1, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(state(), 4u);
    EXPECT_EQ(tap(0).state, vpod::control::TapState::PauseIr);

    ASSERT_EQ(x_scanSetStopState(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, tdi, 4, nullptr), 0u);
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(tmsHigh(), 1u);
    EXPECT_EQ(tap(1).state, vpod::control::TapState::TestLogicReset);
    using TS = vpod::control::TapState;
    for (auto [stop, chipState] : {std::pair{3, TS::PauseDr}, {4, TS::PauseIr}, {2, TS::RunTestIdle}}) {
        ASSERT_EQ(x_scanSetStopState(h, stop), 0u);
        ASSERT_EQ(x_scanIr(h, 1, tdi, 9, nullptr), 0u);
        EXPECT_EQ(state(), static_cast<uint32_t>(stop));
        EXPECT_EQ(tap(0).state, chipState) << stop;
    }
}

class Resets : public Stream {};

TEST_F(Resets, TrstPulseAndHold) {
    open(boards::standard(), "DV000001A", "TrstPin=DataBus4\n");
    EXPECT_EQ(x_tmsReset(h, 1), 0u);   // works from the unknown state
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    clear();
    const uint64_t resets = tap(0).resets;
    ASSERT_EQ(x_trstReset(h, 1), 0u);
    EXPECT_EQ(written(), (Bytes{0x80, 0x02, 0x1B, 0x8E, 0x00, 0x80, 0x12, 0x1B, 0x83, 0x87}));
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(tmsHigh(), 0u);   // TMS kept its level through the pulse
    EXPECT_EQ(tap(0).resets, resets + 1);
    EXPECT_FALSE(chip().trstAsserted);

    // Held active (the pulse's two pin commands, each alone): moves and scans refuse, a second
    // hold and a pulse send nothing.
    ASSERT_EQ(x_setTrst(h, 1, 0), 0u);
    EXPECT_TRUE(chip().trstAsserted);
    clear();
    EXPECT_EQ(x_setTrst(h, 1, 0), 0u);
    EXPECT_EQ(x_trstReset(h, 1), 0u);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(x_moveToState(h, 1, 2), 1u);
    EXPECT_EQ(lastCode(), err::TRST_ACTIVE);
    const uint16_t tdi = 1;
    EXPECT_EQ(x_scanDr(h, 1, &tdi, 1, nullptr), 1u);
    EXPECT_EQ(lastCode(), err::TRST_ACTIVE);
    EXPECT_EQ(x_setTrst(h, 1, 2), 1u);
    EXPECT_EQ(lastCode(), err::INVALID_TRST_LEVEL);
    ASSERT_EQ(x_setTrst(h, 1, 1), 0u);
    EXPECT_FALSE(chip().trstAsserted);
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(tap(1).state, vpod::control::TapState::TestLogicReset);
}

TEST_F(Resets, TrstNeedsAPinAndTheSlowChipClocksWithTms) {
    open(boards::standard());
    EXPECT_EQ(x_trstReset(h, 1), 1u);
    EXPECT_EQ(lastCode(), err::TRST_NOT_AVAILABLE);
    EXPECT_EQ(x_setTrst(h, 1, 0), 1u);
    EXPECT_EQ(lastCode(), err::TRST_NOT_AVAILABLE);
    TearDown();
    open(boards::replaced(boards::slowChip(), "TrstA=DataBus4", "TrstA=CtrlBus2"), "DV000001A",
         "TrstPin=CtrlBus2\n");
    resetAndClear();
    ASSERT_EQ(x_trstReset(h, 1), 0u);
    // High byte only; on this chip the clock between is a TMS command at TMS's level (high).
    EXPECT_EQ(written(), (Bytes{0x82, 0x00, 0x04, 0x4B, 0x00, 0xFF, 0x82, 0x04, 0x04, 0x83, 0x87}));
}

class Waits : public Stream {};

TEST_F(Waits, FrequencyClampsAndRescalesTimeouts) {
    // The divisor command (on the 30 MHz chip with divide-by-5 off) and the frequency it gives:
    // clamped to the chip's top, rounded to what a divisor makes, 0 refused as the slowest.
    struct Case { uint32_t want; uint8_t low, high; uint32_t got; };
    for (bool fast : {true, false}) {
        SCOPED_TRACE(fast ? "FT2232H" : "FT2232C");
        open(fast ? boards::standard() : boards::slowChip());
        resetAndClear();
        const std::vector<Case> cases =
            fast ? std::vector<Case>{{50000, 0x00, 0x00, 30000}, {4000, 0x07, 0x00, 3750}, {0, 0x2F, 0x75, 1}}
                 : std::vector<Case>{{4000, 0x01, 0x00, 3000}, {2500, 0x02, 0x00, 2000}, {7, 0x59, 0x03, 7},
                                     {9000, 0x00, 0x00, 6000}};
        for (const Case& k : cases) {
            EXPECT_EQ(x_setScanFrequency(h, k.want), k.want ? 0u : 1u) << k.want;
            Bytes expect = {0x86, k.low, k.high};
            if (fast) expect.push_back(0x8A);
            expect.insert(expect.end(), {0x83, 0x87});
            EXPECT_EQ(take(), expect) << k.want;
            EXPECT_EQ(locked(h)->controllerInfo.tckKHz, k.got) << k.want;
            if (fast && k.want == 50000 && !throughUsb()) {   // libftdi keeps the time-outs itself
                EXPECT_EQ(chip().readTimeoutMs, 25000u);
            }
        }
        TearDown();
    }
    open(boards::standard());
    EXPECT_EQ(x_setScanFrequency(h, 0), 1u);
    EXPECT_EQ(lastCode(), err::TCK_OUT_OF_RANGE);
    EXPECT_EQ(x_scanSetTckIdleState(h, 1), 0u);
    EXPECT_EQ(x_scanSetTckIdleState(h, 0), 2u);
    EXPECT_EQ(lastCode(), err::IDLE_FREE_RUNNING);
    EXPECT_EQ(x_scanSetTckIdleState(h, 2), 2u);
    EXPECT_EQ(lastCode(), err::IDLE_STOPPED_HIGH);
    EXPECT_EQ(x_scanSetTckIdleState(h, 3), 1u);
    EXPECT_EQ(lastCode(), err::INVALID_IDLE_STATE);
}

// How a count is cut into commands is checked in waits_test; here the chips clock them all.
TEST_F(Waits, TckWaitsOnBothChips) {
    open(boards::standard());
    EXPECT_EQ(x_waitTck(h, 1), 1u);   // state unknown
    EXPECT_EQ(lastCode(), err::STATE_UNKNOWN);
    resetAndClear();
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    clear();
    ASSERT_EQ(x_waitTck(h, 1), 0u);
    EXPECT_EQ(written(), (Bytes{0x2A, 0x00, 0x87}));
    uint64_t before = chip().tckCycles;
    ASSERT_EQ(x_waitTck(h, 1000000), 0u);
    EXPECT_EQ(chip().tckCycles - before, 1000000u);
    EXPECT_EQ(tap(0).state, vpod::control::TapState::RunTestIdle);
    TearDown();

    // Buffered on the slow chip: one bit, then 1000-TCK byte commands, TMS held low all along.
    ready(2, boards::slowChip());
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    before = chip().tckCycles;
    ASSERT_EQ(x_waitTck(h, 1), 0u);
    ASSERT_EQ(x_waitTck(h, 8000), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
    EXPECT_EQ(chip().tckCycles - before, 8001u);
    EXPECT_EQ(byteChunks(written()), std::vector<uint32_t>(8, 125));
    EXPECT_EQ(tap(0).state, vpod::control::TapState::RunTestIdle);
}

// The stretched TCK's bytes are checked for every divisor in waits_test; here its length on
// the simulated clock, and the divisor in force afterwards.
TEST_F(Waits, TimedWaitsClockStretchOrSleep) {
    uint64_t t0 = 0, t1 = 0;
    auto simulatedNs = [&](uint64_t* t) { ASSERT_TRUE(vpod::control::simulatedTimeNs(iface_, t)); };
    ready(2);
    EXPECT_EQ(x_waitTime(h, 0, 99), 0u);
    EXPECT_EQ(x_waitTime(h, 1, 4), 1u);
    EXPECT_EQ(lastCode(), err::INVALID_WAIT_UNITS);
    ASSERT_EQ(x_setScanFrequency(h, 30000), 0u);
    clear();
    simulatedNs(&t0);
    ASSERT_EQ(x_waitTime(h, 10, 1), 0u);
    simulatedNs(&t1);
    EXPECT_GE(t1 - t0, 10000000u);
    EXPECT_LT(t1 - t0, 12000000u);
    EXPECT_EQ(chip().divisor, 0);
    EXPECT_FALSE(chip().divideBy5);
    clear();
    ASSERT_EQ(x_waitTime(h, 11, 1), 0u);
    EXPECT_EQ(written(), (Bytes{0x2A, 0x00, 0x87}));   // then a host sleep
    ASSERT_EQ(x_setScanFrequency(h, 1000), 0u);
    const uint64_t before = chip().tckCycles;
    ASSERT_EQ(x_waitTime(h, 5, 0x80000001u), 0u);
    EXPECT_EQ(chip().tckCycles - before, 5000u);
    EXPECT_EQ(x_waitTime(h, 5000, 0x80000000u), 1u);   // 5e9 TCKs do not fit
    EXPECT_EQ(lastCode(), err::TICKS_OUT_OF_RANGE);
    TearDown();

    ready(2, boards::slowChip());
    simulatedNs(&t0);
    ASSERT_EQ(x_waitTime(h, 1, 1), 0u);
    simulatedNs(&t1);
    EXPECT_GE(t1 - t0, 1000000u);
    EXPECT_LT(t1 - t0, 1200000u);
    EXPECT_EQ(chip().divisor, 0);
    const uint64_t c0 = chip().tckCycles;
    ASSERT_EQ(x_waitTime(h, 3, 0x80000002u), 0u);   // 3 us at 6000 kHz: 18 TCKs
    EXPECT_EQ(chip().tckCycles - c0, 18u);
}
