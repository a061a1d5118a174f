// The TMS tables of the engine checked against the shared IEEE 1149.1 model: every path
// must land where it claims, with the bytes the wire expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../shared/ieee_tap.h"
#include "jtag/jtag.h"

using namespace dorvane;

namespace {

// The library's state codes in the order of the IEEE model's states.
const uint32_t kCodes[ieee::kStates] = {ST_TLR, ST_RTI, ST_SELECT_DR, ST_CAPTURE_DR, ST_SHIFT_DR, ST_EXIT1_DR,
                                        ST_PDR, ST_EXIT2_DR, ST_UPDATE_DR, ST_SELECT_IR, ST_CAPTURE_IR,
                                        ST_SHIFT_IR, ST_EXIT1_IR, ST_PIR, ST_EXIT2_IR, ST_UPDATE_IR};

// The model's next state as a library code; 0xFF for codes that name no IEEE state.
uint32_t ieeeNext(uint32_t code, int tms) {
    for (int i = 0; i < ieee::kStates; ++i)
        if (kCodes[i] == code) return kCodes[static_cast<int>(ieee::next(static_cast<ieee::Tap>(i), tms))];
    return 0xFF;
}

// Runs the TMS commands in bytes (op, len, data ...) through the model; returns the end state
// and the states passed, and checks that TDI is held 1 in every command.
uint32_t run(uint32_t from, const uint8_t* bytes, uint32_t n, std::vector<uint32_t>* passed = nullptr) {
    uint32_t s = from;
    for (uint32_t i = 0; i + 3 <= n; i += 3) {
        EXPECT_TRUE(bytes[i] == OP_TMS || bytes[i] == OP_TMS_READ) << "opcode " << int(bytes[i]);
        EXPECT_LE(bytes[i + 1], 6);
        EXPECT_EQ(bytes[i + 2] & 0x80, 0x80) << "TDI must be held high";
        for (int b = 0; b <= bytes[i + 1]; ++b) {
            s = ieeeNext(s, (bytes[i + 2] >> b) & 1);
            if (passed) passed->push_back(s);
        }
    }
    return s;
}

}  // namespace

// Every transition of the table is walked, and tracked, by pod/vpod_direct_test
// (Direct.VectorsWalkTheWholeStateMachine).
TEST(StateTable, FiveTmsOnesReachResetFromAnyCode) {
    // The unknown state included.
    for (uint32_t s = 0; s < kStateTableSize; ++s) {
        uint32_t t = s;
        for (int k = 0; k < 5; ++k) t = nextTapState(t, 1);
        if (s == 0 || s >= 24 || ieeeNext(s, 1) != 0xFF) {
            EXPECT_EQ(t, ST_TLR) << "from " << s;
        }
    }
    EXPECT_EQ(nextTapState(ST_CHAINED_EXIT1, 1), 0u);   // no row: never indexed past the table
    EXPECT_EQ(nextTapState(1000, 0), 0u);
}

TEST(MovePaths, EveryStableMoveLandsOnItsTarget) {
    uint8_t out[8];
    for (uint32_t from = 1; from <= 4; ++from)
        for (uint32_t to = 1; to <= 4; ++to) {
            for (uint8_t op : {OP_TMS, OP_TMS_READ}) {
                uint32_t n = movePathBytes(from, to, op, out);
                ASSERT_GT(n, 0u);
                EXPECT_EQ(run(from, out, n), to) << from << "->" << to;
                EXPECT_EQ(out[n - 3], op) << "the move's last command carries the opcode";
            }
        }
    EXPECT_EQ(movePathBytes(0, 2, OP_TMS, out), 0u);
    EXPECT_EQ(movePathBytes(2, 5, OP_TMS, out), 0u);
    // PDR to PDR passes through Update and Capture (the register is captured again).
    std::vector<uint32_t> passed;
    run(ST_PDR, out, movePathBytes(ST_PDR, ST_PDR, OP_TMS, out), &passed);
    EXPECT_NE(std::find(passed.begin(), passed.end(), ST_UPDATE_DR), passed.end());
    EXPECT_NE(std::find(passed.begin(), passed.end(), ST_CAPTURE_DR), passed.end());
}

TEST(MovePaths, SlowFirstTckTailsFinishTheMove) {
    uint8_t out[4];
    for (uint32_t to : {ST_TLR, ST_PDR, ST_PIR}) {
        uint32_t n = slowMoveTailBytes(to, OP_TMS, out);
        ASSERT_EQ(n, 3u);
        // The slow clock has already taken RTI to Select-DR-Scan.
        EXPECT_EQ(run(ST_SELECT_DR, out, n), to);
    }
    EXPECT_EQ(slowMoveTailBytes(ST_RTI, OP_TMS, out), 0u);
}

TEST(ScanEntryPaths, EndInShiftOrExitOfTheRegister) {
    uint8_t out[4];
    for (uint32_t from : {1u, 2u, 3u, 4u, 28u}) {
        for (bool dr : {true, false}) {
            const uint32_t start = from == 28 ? (dr ? ST_EXIT1_DR : ST_EXIT1_IR) : from;
            std::vector<uint32_t> passed;
            ASSERT_EQ(scanEntryBytes(from, dr, true, out), 3u);
            EXPECT_EQ(run(start, out, 3, &passed), dr ? ST_SHIFT_DR : ST_SHIFT_IR) << from;
            // A register scanned again from its own pause is not captured again.
            const bool samePause = (dr && from == ST_PDR) || (!dr && from == ST_PIR);
            const uint32_t capture = dr ? ST_CAPTURE_DR : ST_CAPTURE_IR;
            EXPECT_EQ(std::find(passed.begin(), passed.end(), capture) != passed.end(), !samePause) << from;

            ASSERT_EQ(scanEntryBytes(from, dr, false, out), 3u);
            const uint32_t end = run(start, out, 3);
            if (samePause) EXPECT_EQ(end, dr ? ST_EXIT2_DR : ST_EXIT2_IR);
            else EXPECT_EQ(end, dr ? ST_EXIT1_DR : ST_EXIT1_IR) << from;
        }
    }
    EXPECT_EQ(scanEntryBytes(0, true, true, out), 0u);
    EXPECT_EQ(scanEntryBytes(13, true, true, out), 0u);
    // After the slow first clock (RTI -> Select-DR-Scan).
    for (bool dr : {true, false}) {
        slowScanEntryTailBytes(dr, true, out);
        EXPECT_EQ(run(ST_SELECT_DR, out, 3), dr ? ST_SHIFT_DR : ST_SHIFT_IR);
        slowScanEntryTailBytes(dr, false, out);
        EXPECT_EQ(run(ST_SELECT_DR, out, 3), dr ? ST_EXIT1_DR : ST_EXIT1_IR);
    }
}

TEST(ScanStopPaths, LeaveExit1ForTheStopState) {
    for (uint32_t stop = 1; stop <= 4; ++stop)
        for (bool dr : {true, false}) {
            uint8_t cmd[3] = {OP_TMS, 0, 0};
            stopPathBytes(stop, &cmd[1], &cmd[2]);
            std::vector<uint32_t> passed;
            EXPECT_EQ(run(dr ? ST_EXIT1_DR : ST_EXIT1_IR, cmd, 3, &passed), stop);
            // Every completed scan updates its register on the way.
            const uint32_t update = dr ? ST_UPDATE_DR : ST_UPDATE_IR;
            EXPECT_EQ(passed.front(), update);
        }
}
