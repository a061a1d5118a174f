// Scans against the virtual pod's TAP models: IDCODEs, the boundary register, user registers
// of awkward lengths, pauses, compares, multi scans and buffered delivery (type 9: of odd-length
// vectors in the multi scans, of many results in transport/vpod_test).
#include <random>

#include "../shared/vpod_fixture.h"

namespace {

std::vector<uint8_t> randomBits(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> b((n + 7) / 8);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    if (n % 8) b.back() &= static_cast<uint8_t>((1u << (n % 8)) - 1);
    return b;
}

}  // namespace

class Chain : public VpodTest {
protected:
    // Selects a user register of the one-TAP board and leaves the TAP in RTI.
    void select(uint16_t opcode) {
        ASSERT_EQ(x_scanIr(h, 1, &opcode, 8, nullptr), 0u) << x_kpxErrorMsg(h);
        ASSERT_EQ(tap(0).instruction, opcode);
    }
    // The compare error flag as x_getCmpErrors reports it.
    uint32_t cmpFlag() {
        uint32_t flag = 9;
        EXPECT_EQ(x_getCmpErrors(h, &flag), 0u);
        return flag;
    }
};

// The IDCODEs after a reset are read by transport/vpod_test, reliability and tool/chain_test.
TEST_F(Chain, BoundaryRegisterCapturesAndUpdatesEveryCell) {
    open(boards::standard());
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    // Debug port in BYPASS (TDO end), boundary TAP in SAMPLE: 1 + 177 bits of DR.
    const uint16_t ir = 0x0F | (0x02 << 4);
    ASSERT_EQ(x_scanIr(h, 1, &ir, 9, nullptr), 0u);
    ASSERT_EQ(tap(1).selectedRegister, "BOUNDARY");
    const size_t n = 178;
    std::vector<uint8_t> pins = randomBits(177, 7);
    ASSERT_TRUE(vpod::control::setTapCapture(iface_, 1, "BOUNDARY", pins));
    std::vector<uint16_t> tdo((n + 15) / 16, 0);
    ASSERT_EQ(x_scanDr(h, 1, nullptr, n, tdo.data()), 0u);
    std::vector<uint8_t> got = bytesOfWords(tdo, n);
    for (size_t i = 0; i < 177; ++i) {
        ASSERT_EQ((got[(i + 1) / 8] >> ((i + 1) % 8)) & 1, (pins[i / 8] >> (i % 8)) & 1) << "cell " << i;
    }
    EXPECT_EQ(got[0] & 1, 0);   // BYPASS captures 0
    // The update latches the bits behind the bypass bit, cell for cell.
    std::vector<uint8_t> in = randomBits(n, 8);
    std::vector<uint16_t> words = wordsOfBytes(in);
    ASSERT_EQ(x_scanDr(h, 1, words.data(), n, nullptr), 0u);
    const auto log = reg(1, "BOUNDARY");
    ASSERT_EQ(log.lastUpdate.size(), 23u);
    for (size_t i = 0; i < 177; ++i)
        ASSERT_EQ((log.lastUpdate[i / 8] >> (i % 8)) & 1, (in[(i + 1) / 8] >> ((i + 1) % 8)) & 1) << "cell " << i;
}

TEST_F(Chain, UserRegisterRoundTrips) {
    open(boards::userRegisters(), "DV000007A");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    struct R { uint16_t op; uint32_t len; };
    for (R r : {R{0x10, 1}, R{0x11, 7}, R{0x12, 8}, R{0x13, 9}, R{0x16, 16}, R{0x14, 16385}, R{0x15, 100000}}) {
        SCOPED_TRACE(r.len);
        select(r.op);
        const std::string name = "R" + std::to_string(r.len);
        std::vector<uint8_t> in = randomBits(r.len, r.len);
        std::vector<uint16_t> words = wordsOfBytes(in);
        words.resize((r.len + 15) / 16 + 1);
        // In: the update latches exactly what was shifted.
        ASSERT_EQ(x_scanLDr(h, 1, words.data(), r.len, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(reg(0, name).lastUpdate, in);
        // Out: the capture comes back bit for bit, the words past the end untouched.
        std::vector<uint8_t> cap = randomBits(r.len, r.len + 1000);
        ASSERT_TRUE(vpod::control::setTapCapture(iface_, 0, name, cap));
        std::vector<uint16_t> tdo((r.len + 15) / 16 + 1, 0xBEEF);
        ASSERT_EQ(x_scanLDr(h, 1, words.data(), r.len, tdo.data(), nullptr, nullptr), 0u);
        EXPECT_EQ(bytesOfWords(tdo, r.len), cap);
        EXPECT_EQ(tdo.back(), 0xBEEF);
    }
}

TEST_F(Chain, ToPauseScansContinueWithoutNewCapture) {
    open(boards::userRegisters(), "DV000007A");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    select(0x13);   // 9 bits
    std::vector<uint8_t> cap = {0x5A, 0x01};
    ASSERT_TRUE(vpod::control::setTapCapture(iface_, 0, "R9", cap));
    const uint64_t captures = reg(0, "R9").captures;
    // Five bits to Pause-DR, then four more from there: one capture, one update.
    const uint16_t first = 0x15, second = 0x0B;
    uint16_t out1 = 0, out2 = 0;
    ASSERT_EQ(x_scanToPauseDr(h, 1, &first, 5, &out1), 0u);
    EXPECT_EQ(state(), 3u);
    EXPECT_EQ(tap(0).state, vpod::control::TapState::PauseDr);
    ASSERT_EQ(x_scanDr(h, 1, &second, 4, &out2), 0u);
    auto log = reg(0, "R9");
    EXPECT_EQ(log.captures, captures + 1);
    EXPECT_EQ(out1, 0x1A);                 // capture bits 0..4
    EXPECT_EQ(out2, 0x0A);                 // capture bits 5..8 (0x15A >> 5)
    EXPECT_EQ(log.lastUpdate, (std::vector<uint8_t>{static_cast<uint8_t>(0x15 | (0x0B << 5)), 0x01}));
    // The long form to pause and the compare forms to pause agree.
    uint16_t out3 = 0;
    ASSERT_EQ(x_scanLToPauseDr(h, 1, &first, 9, &out3, nullptr, nullptr), 0u);
    EXPECT_EQ(out3, 0x15A);
    EXPECT_EQ(state(), 3u);
    uint16_t ir = 0x13;
    ASSERT_EQ(x_scanToPauseIrCmp(h, 1, &ir, 8, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(state(), 4u);
}

TEST_F(Chain, CompareFlagsWithAndWithoutMasks) {
    open(boards::userRegisters(), "DV000007A");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    select(0x12);   // 8 bits capturing 0xA4
    EXPECT_EQ(cmpFlag(), 0u);
    const uint16_t expected = 0x00A5, mask = 0x000F;
    uint16_t tdo = 0xFFFF;
    // Bit 0 differs but is masked.
    ASSERT_EQ(x_scanDrCmp(h, 1, nullptr, 8, &tdo, &expected, &mask), 0u);
    EXPECT_EQ(tdo, 0x0000);
    EXPECT_EQ(cmpFlag(), 0u);
    // A mask without expected values compares nothing and returns the captured bits.
    ASSERT_EQ(x_scanDrCmp(h, 1, nullptr, 8, &tdo, nullptr, &mask), 0u);
    EXPECT_EQ(tdo, 0x00A4);
    EXPECT_EQ(cmpFlag(), 0u);
    // The last bit (read separately) differs: the flag sets and TDO holds the difference.
    ASSERT_TRUE(vpod::control::setTapCapture(iface_, 0, "R8", {0x25}));
    ASSERT_EQ(x_scanDrCmp(h, 1, nullptr, 8, &tdo, &expected, &mask), 0u);
    EXPECT_EQ(tdo, 0x0080);
    EXPECT_EQ(cmpFlag(), 1u);
    ASSERT_EQ(x_clearCmpErrors(h), 0u);
    EXPECT_EQ(cmpFlag(), 0u);
    // Without a TDO vector, and queued with buffering type 9: the read flushes and waits first.
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    ASSERT_EQ(x_scanDrCmp(h, 1, nullptr, 8, nullptr, &expected, nullptr), 0u);
    EXPECT_EQ(cmpFlag(), 1u);
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
    ASSERT_EQ(x_clearCmpErrors(h), 0u);
    // The long form compares too.
    const uint16_t exp24 = 0x0024;
    ASSERT_EQ(x_scanLDr(h, 1, nullptr, 8, nullptr, &exp24, nullptr), 0u);
    EXPECT_EQ(cmpFlag(), 1u);
    EXPECT_EQ(x_getCmpErrors(h, nullptr), 1u);
    EXPECT_EQ(lastCode(), err::NULL_POINTER);
}

TEST_F(Chain, MultiScansLineUpTheirVectors) {
    open(boards::standard());
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    // Both TAPs in BYPASS: a 2-bit DR path, so each vector comes back shifted by two.
    const uint16_t ones = 0x01FF;
    ASSERT_EQ(x_scanIr(h, 1, &ones, 9, nullptr), 0u);
    ASSERT_EQ(x_moveToState(h, 1, 2), 0u);
    vpod::control::clearTraffic(iface_);
    const uint16_t tdi[2] = {0x0011, 0x0022};
    uint16_t tdo[2] = {0, 0};
    ASSERT_EQ(x_multiScanDr(h, 1, tdi, 8, 2, tdo), 0u);
    EXPECT_EQ(written(), (Bytes{0x4B, 0x02, 0x81, 0x3B, 0x06, 0x11, 0x6B, 0x00, 0x03, 0x4B, 0x03, 0x83, 0x3B, 0x06,
                                0x22, 0x6B, 0x00, 0x03, 0x4B, 0x01, 0x81, 0x87}));
    // BYPASS captures 0 again before every vector.
    EXPECT_EQ(tdo[0], (0x11 << 2) & 0xFF);
    EXPECT_EQ(tdo[1], (0x22 << 2) & 0xFF);
    EXPECT_EQ(state(), 2u);
    // 20-bit vectors take two words each; with buffering 9 nothing waits until the flush.
    std::vector<uint16_t> in = {0x1234, 0x0005, 0xABCD, 0x000E, 0x0F0F, 0x000A};
    std::vector<uint16_t> out(6, 0);
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    ASSERT_EQ(x_multiScanDr(h, 1, in.data(), 20, 3, out.data()), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
    for (int k = 0; k < 3; ++k) {
        const uint32_t v = in[2 * k] | (uint32_t(in[2 * k + 1]) << 16);
        const uint32_t expect = (v << 2) & 0xFFFFF;
        EXPECT_EQ(out[2 * k] | (uint32_t(out[2 * k + 1]) << 16), expect) << k;
    }
    // IR multi scans; counts of 0 send nothing.
    const uint16_t irs[2] = {0x1FF, 0x1FE};
    ASSERT_EQ(x_multiScanIr(h, 1, irs, 9, 2), 0u);
    EXPECT_EQ(tap(0).instruction, 0xEu);
    vpod::control::clearTraffic(iface_);
    EXPECT_EQ(x_multiScanDr(h, 1, tdi, 8, 0x10000, tdo), 1u);
    EXPECT_EQ(lastCode(), err::INVALID_DR_SHIFTS);
    EXPECT_EQ(x_multiScanIr(h, 1, irs, 9, 0), 1u);
    EXPECT_EQ(lastCode(), err::INVALID_IR_SHIFTS);
    EXPECT_TRUE(written().empty());
}
