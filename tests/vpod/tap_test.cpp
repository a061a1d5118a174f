// The TAP models against IEEE 1149.1: captures, BYPASS and TRST. Every transition of the state
// table is walked through the library by pod/vpod_direct_test (Direct.VectorsWalkTheWholeStateMachine).
#include <algorithm>

#include "vpod_util.h"

using namespace vpodtest;
using vpod::control::TapState;

namespace {

// Channel A: a DAP-like TAP nearest TDO, then one with a boundary register; channel B: one TAP
// with a 3-bit IR and its own capture value.
const char* const kChainBoard =
    "[Device1]\nType=FT2232H\nSerial=TP0001\nChannelA=chain\nTrstA=DataBus4\nChannelB=single\nTrstB=CtrlBus2\n"
    "[Target chain]\nKind=jtag\nTaps=dap, bsc\n"
    "[Target dap]\nKind=tap\nIrLength=4\nIdcode=0x4BA00477\n"
    "[Target bsc]\nKind=tap\nIrLength=5\nIdcode=0x06413041\nBoundaryLength=20\n"
    "[Target single]\nKind=tap\nIrLength=3\nIrCapture=0x5\n";

// Clocks TMS bits (TDI low), 7 per command at most.
void tms(Dev& d, const std::vector<int>& bits) {
    for (size_t i = 0; i < bits.size(); i += 7) {
        const size_t n = std::min<size_t>(7, bits.size() - i);
        uint8_t v = 0;
        for (size_t k = 0; k < n; ++k) v = static_cast<uint8_t>(v | (bits[i + k] << k));
        d.send({0x4B, static_cast<uint8_t>(n - 1), v});
    }
}

// Shifts bits through a Shift state, leaving it on the last bit when exit is set; returns TDO.
std::vector<int> shift(Dev& d, const std::vector<int>& tdi, bool exit = true) {
    Bytes cmd;
    for (size_t i = 0; i < tdi.size(); ++i) {
        if (exit && i + 1 == tdi.size()) cmd.insert(cmd.end(), {0x6B, 0x00, static_cast<uint8_t>(0x01 | (tdi[i] << 7))});
        else cmd.insert(cmd.end(), {0x3B, 0x00, static_cast<uint8_t>(tdi[i])});
    }
    Bytes r = d.xfer(cmd, tdi.size());
    std::vector<int> out;
    for (uint8_t b : r) out.push_back(b >> 7);
    return out;
}

vpod::control::TapInfo infoOf(const std::string& iface, unsigned tap) {
    vpod::control::TapInfo info;
    EXPECT_TRUE(vpod::control::tapInfo(iface, tap, &info));
    return info;
}

TapState stateOf(const std::string& iface, unsigned tap) { return infoOf(iface, tap).state; }

const std::vector<int> kResetToShiftIr = {1, 1, 1, 1, 1, 0, 1, 1, 0, 0};

class Tap : public ::testing::Test {
protected:
    void SetUp() override { loadBoard(kChainBoard); }
};

// BYPASS shifting (one bit per TAP, capturing 0), and captures and updates of the boundary and
// user registers, are checked through the library in tests/jtag (vpod_chain_test).
TEST_F(Tap, CaptureIrAllOnesSelectsBypassAndTrstOnAnyConfiguredPinResetsAndHolds) {
    Dev d("TP0001A");
    d.send({0x80, 0x18, 0x1B});   // TRST released (driven high)
    tms(d, kResetToShiftIr);
    EXPECT_EQ(shift(d, std::vector<int>(9, 1)), (std::vector<int>{1, 0, 0, 0, 1, 0, 0, 0, 0}));   // 0001, 00001
    tms(d, {1, 0});   // Update-IR, Run-Test/Idle
    EXPECT_EQ(infoOf("TP0001A", 0).selectedRegister, "BYPASS");
    EXPECT_EQ(infoOf("TP0001A", 1).selectedRegister, "BYPASS");
    EXPECT_EQ(infoOf("TP0001A", 1).instruction, 0x1Fu);
    d.send({0x80, 0x08, 0x1B});   // DataBus4 driven low: TRST asserted
    vpod::control::ChipState cs;
    ASSERT_TRUE(vpod::control::chipState("TP0001A", &cs));
    EXPECT_TRUE(cs.trstAsserted);
    tms(d, {0, 0, 1, 0});
    EXPECT_EQ(stateOf("TP0001A", 0), TapState::TestLogicReset);
    EXPECT_EQ(infoOf("TP0001A", 0).selectedRegister, "IDCODE");
    d.send({0x80, 0x08, 0x0B});   // the pin as an input floats high: released
    tms(d, {0});
    EXPECT_EQ(stateOf("TP0001A", 0), TapState::RunTestIdle);
    // Channel B: the capture value's upper bits are configurable, the low two stay 01; its TRST
    // is on the high byte.
    Dev b("TP0001B");
    b.send({0x80, 0x08, 0x0B, 0x82, 0x04, 0x04});
    tms(b, kResetToShiftIr);
    EXPECT_EQ(shift(b, {0, 0, 0}), (std::vector<int>{1, 0, 1}));
    tms(b, {1, 0});
    EXPECT_EQ(stateOf("TP0001B", 0), TapState::RunTestIdle);
    b.send({0x82, 0x00, 0x04});
    EXPECT_EQ(stateOf("TP0001B", 0), TapState::TestLogicReset);
}

}  // namespace
