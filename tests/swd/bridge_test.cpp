// The SWD bridge end to end: a host that speaks JTAG-DP through x_scanIr / x_scanDr reaches the
// virtual pod's SWD target (channel B of the default board, or one behind rbb-swd).
#include <bit>
#include <string>
#include <vector>

#include "../shared/vpod_fixture.h"
#include "../shared/swd_wire.h"
#include "../vpod/rbb_server.h"

namespace dorvane::tools {
int swdCommand(uint32_t handle, const std::vector<std::string>& args);   // tools/cmd_swd.cpp
}

namespace {

using namespace swdwire;

constexpr uint8_t ABORT = 8, DPACC = 10, APACC = 11, SCIL19_CONNECT = 12, IDCODE = 14;
constexpr uint8_t kAckOk = 2, kAckWait = 1;   // JTAG-DP ACK field (OK and FAULT both 010)
const char* const kKcf = "Tap1Mode=BSCAN2SWD\nSubDevice=B\n";

class SwdBridge : public VpodTest {
protected:
    void connect(const std::string& board = boards::standard(), const std::string& kcf = kKcf) {
        open(board, "DV000001B", kcf);
        reset();
    }
    void reset() {
        resetAndClear();
        current_ = IDCODE;
    }
    uint32_t ir(uint8_t code, uint32_t bits = 4) {
        uint16_t in = code, out = 0;
        EXPECT_EQ(x_scanIr(h, 1, &in, bits, &out), 0u) << x_kpxErrorMsg(h);
        current_ = code;
        return out;
    }
    uint64_t dr(uint64_t in, uint32_t bits = 35) {
        uint16_t w[3] = {uint16_t(in), uint16_t(in >> 16), uint16_t(in >> 32)}, out[3] = {};
        EXPECT_EQ(x_scanDr(h, 1, w, bits, out), 0u) << x_kpxErrorMsg(h);
        return out[0] | uint64_t(out[1]) << 16 | uint64_t(out[2]) << 32;
    }
    // One DPACC / APACC access scan: ACK field in bits 0-2, data above.
    uint64_t access(uint8_t instr, bool read, unsigned addr, uint32_t value = 0) {
        if (instr != current_) ir(instr);
        return dr(uint64_t(value) << 3 | ((addr >> 2) & 3u) << 1 | (read ? 1u : 0u));
    }
    static uint8_t ack(uint64_t r) { return r & 7; }
    static uint32_t value(uint64_t r) { return uint32_t(r >> 3); }
    vpod::control::SwdStatus swd() {
        vpod::control::SwdStatus s;
        EXPECT_TRUE(vpod::control::swdStatus(iface_, &s));
        return s;
    }
    int tool(const std::vector<std::string>& args, std::string* out = nullptr) {
        ::testing::internal::CaptureStdout();
        const int status = dorvane::tools::swdCommand(h, args);
        const std::string text = ::testing::internal::GetCapturedStdout();
        if (out) *out = text;
        return status;
    }
    uint8_t current_ = IDCODE;
};

TEST_F(SwdBridge, ResetsAndTransactionsKeepTheirByteForms) {
    connect();
    const Bytes pattern = cat({{0x19, 0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x9E, 0xE7, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                               kIdle});
    ASSERT_EQ(x_trstReset(h, 1), 0u);
    EXPECT_EQ(written(), pattern);
    EXPECT_EQ(state(), 1u);
    clear();
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    EXPECT_EQ(written(), pattern);
    // IDCODE is selected: its capture reads DPIDR, ACK first.
    clear();
    EXPECT_EQ(dr(0, 32), 0x2BA01477u);
    EXPECT_EQ(written(), cat({head(0xA5), kSend, readTail()}));
    // The first DPACC capture reads DPIDR once more; the write's ACK replaces the TDO's ACK field.
    ir(DPACC);
    clear();
    const uint64_t r = access(DPACC, false, 0x4, 0x50000000);
    EXPECT_EQ(value(r), 0x2BA01477u);
    EXPECT_EQ(ack(r), kAckOk);
    EXPECT_EQ(written(), cat({head(0xA5), kSend, readTail(), head(0xA9), kDrive, kSend, data(0x50000000), kIdle}));
    clear();
    EXPECT_EQ(value(access(DPACC, true, 0x4)) >> 28, 0xFu);   // a read answers in its own scan
    EXPECT_EQ(written(), cat({head(0x8D), kSend, readTail()}));
    // ORUNDETECT: one write and one wait per transaction.
    access(DPACC, false, 0x4, 0x50000001);
    clear();
    EXPECT_EQ(ack(access(APACC, false, 0x4, 0x20000000)), kAckOk);
    EXPECT_EQ(value(access(DPACC, true, 0xC)), 0u);
    EXPECT_EQ(written(), cat({head(0x8B), kDrive, data(0x20000000), kIdle, head(0xBD), readTail()}));
    // Buffered, the reset pattern is held back whole; a transaction flushes first and runs unbuffered.
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    clear();
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(dr(0, 32), 0x2BA01477u);
    const Bytes w = written();
    ASSERT_GE(w.size(), 22u);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 3), (Bytes{0x19, 0x10, 0x00}));
    EXPECT_EQ(Bytes(w.begin() + 20, w.begin() + 22), (Bytes{0x83, 0x87}));
    EXPECT_EQ(Bytes(w.end() - 16, w.end()), cat({kSend, readTail()}));   // ACK first again
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
}

TEST_F(SwdBridge, VirtualTapRegistersRoundTrip) {
    connect();
    EXPECT_EQ(x_setTrst(h, 1, 0), 1u);   // TRST belongs to the JTAG wiring, not to the bridge
    EXPECT_EQ(lastCode(), err::SET_TRST_SWD);
    EXPECT_EQ(ir(0xA), 0x1u);                 // Capture-IR 0001; DPACC selected
    EXPECT_EQ(ir(0x7E, 8), 0xE1u);            // 0001 then the first TDI bits; 0x7 (BYPASS) selected
    EXPECT_EQ(dr(0x3, 2), 0x2u);              // BYPASS captures 0, then the TDI bit
    ir(2);
    EXPECT_EQ(dr(0, 32), 0x19DC810Fu);        // SCIL19_IDCODE
    ir(SCIL19_CONNECT);
    dr(0xBEEF, 16);
    EXPECT_EQ(dr(0x12345, 20), 0x5BEEFu);     // the latched value, then TDI; the last 16 TDI bits stay
    EXPECT_EQ(dr(0, 8), 0x34u);
    EXPECT_EQ(dr(0, 16), 0x0012u);
    // The first ABORT capture after a line reset shows 010 without a transaction of its own.
    ir(IDCODE);
    dr(0, 32);                                // the DPIDR read the DP waits for
    const uint64_t oks = swd().okAcks;
    ir(ABORT);
    EXPECT_EQ(ack(dr(uint64_t(0x1E) << 3, 35)), kAckOk);
    EXPECT_EQ(swd().okAcks, oks + 1);         // only the ABORT write went out
}

TEST_F(SwdBridge, WaitFaultStickyAndLockout) {
    connect();
    access(DPACC, false, 0x4, 0x50000000);
    ASSERT_TRUE(vpod::control::swdInjectWait(iface_, 1));
    clear();
    EXPECT_EQ(ack(access(APACC, false, 0x4, 0x20000000)), kAckWait);
    EXPECT_EQ(written(), cat({head(0x8B), kDrive, kSend, kIdle}));   // no data phase after WAIT
    // A bus failure: the next AP access answers FAULT, sticky until ABORT clears it.
    ASSERT_TRUE(vpod::control::swdInjectFault(iface_));
    EXPECT_EQ(ack(access(APACC, true, 0x4)), kAckOk);       // FAULT shows as 010, as on a JTAG-DP
    EXPECT_EQ(swd().faultAcks, 1u);
    EXPECT_TRUE(value(access(DPACC, true, 0x4)) & (1u << 5));
    access(ABORT, false, 0x0, 1u << 2);
    EXPECT_FALSE(swd().ctrlStat & (1u << 5));
    // (A write whose data parity arrives wrong is the target's to drop: vpod/swd_test.)
    // After a line reset anything but a DPIDR read is a protocol error: nobody answers (111)
    // until the next line reset.
    reset();
    EXPECT_EQ(ack(access(APACC, true, 0x0)), 7u);
    EXPECT_EQ(written(), cat({head(0x87), kSend, kDrive, kIdle}));   // no data phase without OK
    EXPECT_TRUE(swd().lockedOut);
    reset();
    EXPECT_EQ(ack(access(DPACC, true, 0x4)), kAckOk);      // the DPIDR read at capture came first
}

TEST_F(SwdBridge, PendingUpdatesCommitAtMovesAndCompareScansFlagDifferences) {
    connect();
    ir(DPACC);
    access(DPACC, false, 0x8, 0);   // past the DPIDR capture
    uint16_t a[3] = {uint16_t(0x10u << 3 | 0x4), 0, 0}, b[3] = {uint16_t(0xF0u << 3 | 0x4), 0, 0}, out[3] = {};
    clear();
    ASSERT_EQ(x_scanToPauseDr(h, 1, a, 35, nullptr), 0u);
    EXPECT_TRUE(written().empty());
    ASSERT_EQ(x_scanToPauseDr(h, 1, b, 35, out), 0u);   // no capture in between: a comes back
    EXPECT_EQ(out[0], a[0]);
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    EXPECT_EQ(swd().select, 0xF0u);
    ASSERT_EQ(x_scanToPauseDr(h, 1, a, 35, nullptr), 0u);
    ASSERT_EQ(x_tmsReset(h, 1), 0u);                    // committed before the pattern
    EXPECT_EQ(swd().select, 0x10u);
    // A compare scan without a TDO buffer still sets the flag.
    uint16_t expected[2] = {0x1477, 0x2BA0}, zero[2] = {0, 0};
    ASSERT_EQ(x_scanDrCmp(h, 1, zero, 32, nullptr, expected, nullptr), 0u);
    uint32_t flag = 0;
    ASSERT_EQ(x_getCmpErrors(h, &flag), 0u);
    EXPECT_EQ(flag, 0u);
    expected[0] ^= 0x10;
    ASSERT_EQ(x_scanDrCmp(h, 1, zero, 32, nullptr, expected, nullptr), 0u);
    ASSERT_EQ(x_getCmpErrors(h, &flag), 0u);
    EXPECT_NE(flag, 0u);
    // Nothing pending: a move only records its target, without a clock.
    clear();
    ASSERT_EQ(x_moveToState(h, 1, 1), 0u);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(tmsHigh(), 1u);
}

TEST_F(SwdBridge, ADormantTargetAnswersAfterTheWakeUpTheKcfAsksFor) {
    const std::string board = boards::replaced(boards::standard(), "RamSize=64K", "RamSize=64K\nDormant=yes");
    connect(board);
    EXPECT_EQ(dr(0, 32), 0u);   // nobody answers the DPIDR read
    EXPECT_TRUE(swd().dormant);
    x_closeKpx(h);
    h = kNone;
    connect(board, std::string(kKcf) + "SwdConnect=DormantToSwd\n");
    EXPECT_EQ(dr(0, 32), 0x2BA01477u);
    EXPECT_EQ(swd().wakeUps, 1u);
    // Every line reset sends the wake-up again: the selection alert's first bytes, then later
    // the activation code and the line reset.
    clear();
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    const Bytes w = written();
    ASSERT_GT(w.size(), 24u);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 6), (Bytes{0x19, 0x22, 0x00, 0xFF, 0x92, 0xF3}));
    EXPECT_EQ(Bytes(w.begin() + 19, w.begin() + 24), (Bytes{0x19, 0xA0, 0xF1, 0xFF, 0xFF}));
}

// dorvane swd against faults the board file provokes: WAIT for the 5th to 7th AP accesses, a
// bus failure once 21 have completed.
TEST_F(SwdBridge, ToolRidesOutWaitAndReportsABusFault) {
    connect(boards::replaced(boards::standard(), "RamSize=64K", "RamSize=64K\nWaitAccesses=3\nWaitAfter=4\nFaultAfter=21"));
    std::string out;
    ASSERT_EQ(tool({"info"}, &out), 0);
    EXPECT_EQ(out, "DPIDR   0x2BA01477\nAP IDR  0x24770011\nROM     0xE00FF003\n");
    ASSERT_EQ(tool({"write", "0x200003F8", "1", "2", "3", "0xDEADBEEF"}), 0);
    EXPECT_EQ(swd().waitAcks, 3u);
    ASSERT_EQ(tool({"read", "0x200003F8", "5"}, &out), 0);   // across a 1 KiB block
    EXPECT_EQ(out, "0x200003F8: 0x00000001 0x00000002 0x00000003 0xDEADBEEF\n0x20000408: 0x00000000\n");
    EXPECT_EQ(tool({"read", "0x20000000"}), 1);
    EXPECT_EQ(swd().faultAcks, 1u);
    EXPECT_FALSE(swd().ctrlStat & (1u << 5));   // reported, then cleared through ABORT
    EXPECT_EQ(tool({"read", "0x20000000", "0"}), 2);
}

// The rbb-swd client of the pod: a word written through the outside target's MEM-AP reads back.
TEST_F(SwdBridge, OutsideTargetOverRemoteBitbang) {
    vpod::detail::SwdConfig cfg;
    vpodtest::RbbSwdServer server(cfg);
    ASSERT_TRUE(server.listening());
    connect(boards::replaced(boards::standard(), "ChannelB=cortex", "ChannelB=rbb-swd:" + std::to_string(server.port())));
    access(DPACC, false, 0x4, 0x50000000);
    access(APACC, false, 0x0, 0x23000012);
    access(APACC, false, 0x4, 0x20000040);
    access(APACC, false, 0xC, 0xCAFEF00D);
    access(APACC, false, 0x4, 0x20000040);
    access(APACC, true, 0xC);
    EXPECT_EQ(value(access(DPACC, true, 0xC)), 0xCAFEF00Du);
    x_closeKpx(h);
    h = kNone;
    vpod::control::loadDefaultBoard();
    server.join();
    EXPECT_EQ(server.unknownCharacters, 0);
}

}  // namespace
