// Direct scan and its TRST steps against the virtual pod. (That the unsupported pod calls answer 2
// is checked for every export by boundary/allocation_failure_test.)
#include "../shared/ieee_tap.h"
#include "../shared/vpod_fixture.h"
#include "pod/pod.h"

namespace {

using TS = vpod::control::TapState;

// Steps that clock the TMS bits given, TDI 1.
Bytes tmsSteps(std::initializer_list<int> tms) {
    Bytes s;
    for (int t : tms) s.push_back(static_cast<uint8_t>(0x01 | (t ? 0x08 : 0)));
    return s;
}

}  // namespace

class Direct : public VpodTest {};

TEST_F(Direct, DataRunsAndPinCommands) {
    ready(2);
    const Bytes eight(8, 0x01);
    ASSERT_EQ(x_kpxScanDirect(h, 1, eight.data(), 8, nullptr), 0u);
    EXPECT_EQ(written(), (Bytes{0x19, 0x00, 0x00, 0xFF, 0x83, 0x87}));
    EXPECT_EQ(state(), 2u);
    clear();
    const Bytes five(5, 0x09);
    ASSERT_EQ(x_kpxScanDirect(h, 1, five.data(), 5, nullptr), 0u);
    EXPECT_EQ(written(), (Bytes{0x80, 0x0A, 0x0B, 0x1B, 0x04, 0x3F, 0x83, 0x87}));
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(tmsHigh(), 1u);
    EXPECT_EQ(tap(0).state, TS::TestLogicReset);
    // From TLR the TMS pin is already high.
    clear();
    ASSERT_EQ(x_kpxScanDirect(h, 1, five.data(), 5, nullptr), 0u);
    EXPECT_EQ(written(), (Bytes{0x1B, 0x04, 0x3F, 0x83, 0x87}));
    // Zero steps: nothing sent.
    clear();
    EXPECT_EQ(x_kpxScanDirect(h, 1, nullptr, 0, nullptr), 0u);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(x_kpxScanDirect(h, 1, nullptr, 3, nullptr), 1u);
    EXPECT_EQ(lastCode(), err::NULL_POINTER);
    EXPECT_EQ(x_kpxScanDirect(h, 2, five.data(), 5, nullptr), 1u);
    EXPECT_EQ(lastCode(), err::ILLEGAL_TAP_ID);
}

TEST_F(Direct, VectorsWalkTheWholeStateMachine) {
    open(boards::standard());
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    // The library's state codes in the order of the IEEE model's states (the TAP model's order).
    using namespace dorvane;
    const uint32_t codes[ieee::kStates] = {ST_TLR, ST_RTI, ST_SELECT_DR, ST_CAPTURE_DR, ST_SHIFT_DR, ST_EXIT1_DR,
                                           ST_PDR, ST_EXIT2_DR, ST_UPDATE_DR, ST_SELECT_IR, ST_CAPTURE_IR,
                                           ST_SHIFT_IR, ST_EXIT1_IR, ST_PIR, ST_EXIT2_IR, ST_UPDATE_IR};
    // All 32 transitions of the controller, one step at a time: the tracked code and both TAP
    // models follow the IEEE model.
    ieee::Tap model = ieee::Tap::TestLogicReset;
    for (const char bit : std::string("001000100101101100010010110101111110110111010111101011111")) {
        const int tms = bit - '0';
        model = ieee::next(model, tms);
        const Bytes one = tmsSteps({tms});
        ASSERT_EQ(x_kpxScanDirect(h, 1, one.data(), 1, nullptr), 0u);
        EXPECT_EQ(static_cast<int>(tap(0).state), static_cast<int>(model));
        EXPECT_EQ(static_cast<int>(tap(1).state), static_cast<int>(model));
        auto c = locked(h);
        EXPECT_EQ(tapsOf(c).tapState[1], codes[static_cast<int>(model)]);
    }
    EXPECT_EQ(model, ieee::Tap::TestLogicReset);
    // Transient states cannot be reported; a stable end state can.
    const Bytes toShift = tmsSteps({0, 1, 0, 0});
    ASSERT_EQ(x_kpxScanDirect(h, 1, toShift.data(), 4, nullptr), 0u);
    uint32_t st = 0;
    EXPECT_EQ(x_scanGetState(h, 1, &st), 1u);
    // Raw shifts work there; then Exit1, Pause.
    const uint16_t tdi = 0x00FF;
    uint16_t tdo = 0;
    ASSERT_EQ(x_scanTdio(h, 1, &tdi, 8, &tdo), 0u);
    EXPECT_EQ(tdo, 0x77);
    const Bytes toPause = tmsSteps({1, 0});
    ASSERT_EQ(x_kpxScanDirect(h, 1, toPause.data(), 2, nullptr), 0u);
    EXPECT_EQ(state(), 3u);
    EXPECT_EQ(tap(0).state, TS::PauseDr);
}

TEST_F(Direct, MismatchCountsOverBatches) {
    open(boards::standard());
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    // Into Shift-DR, then compare 16 bits of the debug port's IDCODE (0x0477), 3 of them wrong.
    Bytes steps = tmsSteps({0, 1, 0, 0});
    const uint16_t wrong = 0x0477 ^ 0x8101;
    for (int i = 0; i < 16; ++i) steps.push_back(static_cast<uint8_t>(0x05 | (((wrong >> i) & 1) << 1)));
    uint32_t mismatches = 99;
    ASSERT_EQ(x_kpxScanDirect(h, 1, steps.data(), static_cast<uint32_t>(steps.size()), &mismatches), 0u);
    EXPECT_EQ(mismatches, 3u);
    {
        auto c = locked(h);
        EXPECT_EQ(dorvane::tapsOf(c).tapState[1], uint32_t(dorvane::ST_SHIFT_DR));
    }

    // A long vector: all of the 64-bit IDCODE chain, again and again through Exit/Pause, so the
    // steps need many batches; every compare is right except a known number.
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    const uint64_t chain = 0x4BA00477ull | (0x06413041ull << 32);
    steps = tmsSteps({0});
    uint32_t wrongBits = 0;
    for (int round = 0; round < 150; ++round) {
        const Bytes enter = tmsSteps({1, 0, 0});   // RTI/Update -> Shift-DR (captures again)
        steps.insert(steps.end(), enter.begin(), enter.end());
        for (int i = 0; i < 64; ++i) {
            int bit = static_cast<int>((chain >> i) & 1);
            if ((round * 7 + i) % 29 == 0) { bit ^= 1; ++wrongBits; }
            // TDI alternates (it does not split runs); the last bit leaves Shift-DR.
            steps.push_back(static_cast<uint8_t>(0x04 | (bit << 1) | (i % 2) | (i == 63 ? 0x08 : 0)));
        }
        const Bytes leave = tmsSteps({1, 0});   // Exit1 -> Update -> RTI
        steps.insert(steps.end(), leave.begin(), leave.end());
    }
    for (uint32_t buffering : {0u, 9u}) {
        ASSERT_EQ(x_scanSetBuffering(h, buffering), 0u);
        mismatches = 0;
        ASSERT_EQ(x_kpxScanDirect(h, 1, steps.data(), static_cast<uint32_t>(steps.size()), &mismatches), 0u);
        EXPECT_EQ(mismatches, wrongBits) << "buffering " << buffering;
        EXPECT_EQ(state(), 2u);
    }
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
    // Without a count pointer the bits are read and dropped.
    ASSERT_EQ(x_kpxScanDirect(h, 1, steps.data(), static_cast<uint32_t>(steps.size()), nullptr), 0u);
    EXPECT_EQ(tap(0).state, TS::RunTestIdle);
}

TEST_F(Direct, TrstStepsNeedAPin) {
    open(boards::standard());
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    clear();
    const Bytes steps = {0x01, 0x11, 0x01};
    EXPECT_EQ(x_kpxScanDirect(h, 1, steps.data(), 3, nullptr), 2u);
    EXPECT_EQ(lastCode(), err::TRST_NOT_AVAILABLE);
    EXPECT_EQ(state(), 1u);
    TearDown();

    open(boards::standard(), "DV000001A", "TrstPin=DataBus4\n");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    const uint64_t resets = tap(0).resets;
    clear();
    ASSERT_EQ(x_kpxScanDirect(h, 1, steps.data(), 3, nullptr), 0u);
    EXPECT_EQ(written(), (Bytes{0x1B, 0x00, 0x03, 0x80, 0x02, 0x1B, 0x1B, 0x00, 0x03, 0x80, 0x12, 0x1B, 0x1B, 0x00,
                                0x03, 0x83, 0x87}));
    EXPECT_EQ(tap(0).resets, resets + 1);
    EXPECT_EQ(state(), 2u);   // TLR by TRST, then one TMS-0 clock
    // Held by set_trst: refused.
    ASSERT_EQ(x_setTrst(h, 1, 0), 0u);
    EXPECT_EQ(x_kpxScanDirect(h, 1, steps.data(), 3, nullptr), 1u);
    EXPECT_EQ(lastCode(), err::TRST_ACTIVE);
    TearDown();

    // A pin on the high byte (the slow chip's CtrlBus2): the TAP model sees the same reset.
    open(boards::replaced(boards::slowChip(), "TrstA=DataBus4", "TrstA=CtrlBus2"), "DV000001A",
         "TrstPin=CtrlBus2\n");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    const uint64_t highResets = tap(0).resets;
    ASSERT_EQ(x_kpxScanDirect(h, 1, steps.data(), 3, nullptr), 0u);
    EXPECT_EQ(tap(0).resets, highResets + 1);
    EXPECT_EQ(state(), 2u);
    EXPECT_EQ(tap(0).state, TS::RunTestIdle);   // released again, then clocked out of reset
}

// A multi scan that fails between its vectors leaves the chained scans' Exit1, which has no row
// in the tracking table: a direct scan from there follows it as unknown, so that five TMS-high
// steps (not four) reach Test-Logic-Reset. (From the unknown state itself: paths_test.)
TEST(DirectScanEncoder, AChainedExit1StartIsTrackedAsUnknown) {
    const Bytes high(5, 0x09);
    struct NoHooks : dorvane::DirectScanEncoder::Hooks {
        uint32_t runClosed(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
        uint32_t sendBatch(const uint8_t*, uint32_t, uint32_t, uint32_t) override { return 0; }
    } hooks;
    for (uint32_t n : {4u, 5u}) {
        dorvane::DirectScanEncoder enc({0, 0, 0x50, 0x00, 0x5B, 0x00}, dorvane::ST_CHAINED_EXIT1, false, hooks);
        ASSERT_EQ(enc.encode(high.data(), n), 0u);
        EXPECT_EQ(enc.trackedState() == dorvane::ST_TLR, n == 5) << n;
    }
}
