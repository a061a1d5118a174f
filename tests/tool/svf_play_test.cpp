// SVF playing on the virtual pod: every statement, TDO checks and where they stop, long
// vectors, TRST, and the command's refusal of a bad file before anything is sent.
#include <fstream>

#include "../../tools/svf_player.h"
#include "../../tools/tool.h"
#include "../shared/vpod_fixture.h"

namespace dorvane::tools { extern const Command kSvfCommand; }
using namespace dorvane::tools;
using vpod::control::TapState;

namespace {

class SvfPlay : public VpodTest {
protected:
    svf::PlayResult play(const std::string& text, bool keepGoing = false, uint64_t window = 1u << 20) {
        svf::Program program;
        svf::ParseError e;
        EXPECT_TRUE(svf::parse(text, &program, &e)) << e.line << ":" << e.column << " " << e.message;
        svf::PlayOptions o;
        o.keepGoing = keepGoing;
        o.checkWindowBits = window;
        o.report = [this](const std::string& m) { reports += m + "\n"; };
        return svf::play(h, program, o);
    }
    std::string reports;
};

// Both IDCODEs, then the boundary-scan TAP alone behind a header that bypasses the other.
const char* const kChain =
    "TRST OFF;\nENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n"
    "SDR 64 TDI(0) TDO(064130414BA00477) MASK(FFFFFFFFFFFFFFFF);\n"   // line 6
    "HIR 4 TDI(F);\nHDR 1 TDI(0);\nSIR 5 TDI(01);\n"
    "SDR 32 TDI(0) TDO(06413041);\n"                                   // line 10
    "RUNTEST 100 TCK;\nRUNTEST IDLE 1E-3 SEC ENDSTATE DRPAUSE;\n"
    "STATE DRPAUSE DREXIT2 DRUPDATE IDLE;\nFREQUENCY 1E6 HZ;\n"
    "SDR 32 TDI(0) TDO(06413041);\n"                                   // line 15
    "ENDDR DRPAUSE;\nSDR 32 TDI(0) TDO(06413041);\n";

}  // namespace

TEST_F(SvfPlay, PlaysTheStatementsOfAFile) {
    open(boards::standard());
    const uint64_t before = chip().tckCycles;
    const svf::PlayResult r = play(kChain);
    EXPECT_EQ(r.status, kExitOk) << reports;
    EXPECT_EQ(r.compares, 4u);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(tckKHzOf(h), 1000u);
    EXPECT_EQ(tap(0).state, TapState::PauseDr);
    EXPECT_EQ(tap(1).selectedRegister, "IDCODE");
    // 100 TCKs, then a millisecond clocked out at 6 MHz.
    EXPECT_GT(chip().tckCycles - before, 6100u);
}

TEST_F(SvfPlay, MismatchStopsAtItsLineOrIsCounted) {
    const std::string text = std::string(kChain) + "ENDDR IDLE;\nSDR 32 TDI(0) TDO(06413040);\n"   // line 19
                             "SDR 32 TDI(0) TDO(16413041) MASK(EFFFFFFF);\n"                       // masked
                             "SDR 32 TDI(0) TDO(06413043);\nSTATE DRPAUSE;\n";                     // line 21
    open(boards::standard());
    svf::PlayResult r = play(text, false, 1);
    EXPECT_EQ(r.status, kExitCheckFailed);
    EXPECT_EQ(r.mismatches, 1u);
    EXPECT_EQ(r.firstMismatchLine, 19u);
    EXPECT_NE(reports.find("line 19: TDO mismatch in SDR\n  expected 06413040\n  read     06413041\n"
                           "  mask     FFFFFFFF"),
              std::string::npos)
        << reports;
    EXPECT_EQ(tap(0).state, TapState::RunTestIdle) << "nothing after line 19 was sent";

    reports.clear();
    r = play(text, true);
    EXPECT_EQ(r.status, kExitCheckFailed);
    EXPECT_EQ(r.mismatches, 2u);
    EXPECT_EQ(r.firstMismatchLine, 19u);
    EXPECT_NE(reports.find("line 21:"), std::string::npos);
    EXPECT_EQ(tap(0).state, TapState::PauseDr) << "the file was played to its end";
}

TEST_F(SvfPlay, LongVectorsStreamThroughAndCompare) {
    open(boards::userRegisters(), "DV000007A");
    constexpr uint32_t kBits = 100000;
    std::vector<uint8_t> capture(kBits / 8), shifted(kBits / 8);
    for (size_t i = 0; i < capture.size(); ++i) {
        capture[i] = static_cast<uint8_t>(i * 7 + 3);
        shifted[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    ASSERT_TRUE(vpod::control::setTapCapture(iface_, 0, "R100000", capture));
    auto hex = [](const std::vector<uint8_t>& bytes) {
        std::string s;
        char d[3];
        for (size_t i = bytes.size(); i-- > 0;) {
            std::snprintf(d, sizeof d, "%02X", bytes[i]);
            s += d;
            if (i % 40 == 0) s += "\n";   // values span lines
        }
        return s;
    };
    const std::string sdr = "SDR 100000 TDI(" + hex(shifted) + ") TDO(" + hex(capture) + ");\n";
    const svf::PlayResult r = play("SIR 8 TDI(15);\n" + sdr + sdr, false, 1000);
    EXPECT_EQ(r.status, kExitOk) << reports;
    EXPECT_EQ(r.compares, 2u);
    EXPECT_EQ(r.bitsScanned, 8u + 2 * kBits);
    EXPECT_EQ(reg(0, "R100000").lastUpdate, shifted);

    // A difference deep in a long vector is shown as the 64-bit window around it.
    capture[5000] ^= 0x10;
    ASSERT_TRUE(vpod::control::setTapCapture(iface_, 0, "R100000", capture));
    EXPECT_EQ(play("SIR 8 TDI(15);\n" + sdr).status, kExitCheckFailed);
    EXPECT_NE(reports.find("bits 40000..40063 of 100000"), std::string::npos) << reports;
}

TEST_F(SvfPlay, TrstNeedsAPin) {
    open(boards::standard());
    EXPECT_EQ(play("TRST OFF;\nTRST ABSENT;\nSTATE IDLE;\n").status, kExitOk);
    EXPECT_EQ(play("TRST ON;\n").status, kExitController);
    EXPECT_NE(reports.find("line 1: TRST ON, but the controller has no TRST pin"), std::string::npos);
    x_closeKpx(h);
    h = kNone;

    open(boards::standard(), "DV000001A", "TrstPin=DataBus4\n");
    EXPECT_EQ(play("STATE IDLE;\nTRST ON;\nRUNTEST RESET 20 TCK;\n").status, kExitOk) << reports;
    EXPECT_TRUE(chip().trstAsserted);
    EXPECT_EQ(tap(0).state, TapState::TestLogicReset);
    EXPECT_EQ(play("TRST Z;\nSTATE IDLE;\n").status, kExitOk) << reports;
    EXPECT_FALSE(chip().trstAsserted);
    EXPECT_EQ(tap(0).state, TapState::RunTestIdle);
}

TEST_F(SvfPlay, CommandRefusesABadFileBeforeSendingAnything) {
    dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
    dorvane::transport::setFtdiDriver(nullptr);
    std::string error;
    ASSERT_TRUE(vpod::control::loadConfigText(boards::standard(), &error)) << error;
    iface_ = "DV000001A";
    ASSERT_TRUE(vpod::control::recordTraffic(iface_, true));
    const std::string path = ::testing::TempDir() + "/tool_test.svf";
    Invocation inv;
    inv.args = {path};
    inv.args.push_back("--quiet");

    std::ofstream(path) << kChain << "SDR 32 TDI(0) TDO(0641304X);\n";
    EXPECT_EQ(kSvfCommand.run(inv), kExitInput);
    EXPECT_TRUE(written().empty());

    std::ofstream(path) << kChain;
    EXPECT_EQ(kSvfCommand.run(inv), kExitOk);
    EXPECT_FALSE(written().empty());
    inv.args.push_back("--frob");
    EXPECT_EQ(kSvfCommand.run(inv), kExitUsage);
}
