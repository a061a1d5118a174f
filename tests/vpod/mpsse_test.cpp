// MPSSE command semantics against FTDI's published command set. How simulated time follows the
// programmed clock is measured through the library in tests/jtag (waits_test, vpod_bytes_test);
// the TMS commands (TDI from bit 7, the top-aligned read) carry every library scan's last bit
// there (vpod_bytes_test's streams, vpod_chain_test's updates and captures).
#include "vpod_util.h"

using namespace vpodtest;
using vpod::control::ChipState;

namespace {

// MP0001A has nothing on its pins, MP0001B a wire from TDI to TDO.
const char* const kBoard = "[Device1]\nType=FT2232H\nSerial=MP0001\nChannelA=none\nChannelB=loopback\n"
                           "[Device2]\nType=FT2232C\nSerial=MP0002\n"
                           "[Device3]\nType=FT232H\nSerial=MP0003\n"
                           "[Device4]\nType=FT4232H\nSerial=MP0004\n";

class Mpsse : public ::testing::Test {
protected:
    void SetUp() override { loadBoard(kBoard); }
};

ChipState stateOf(const std::string& iface) {
    ChipState s;
    EXPECT_TRUE(vpod::control::chipState(iface, &s));
    return s;
}

TEST_F(Mpsse, PartialBitReadsArriveInTheTopOfTheByteLsbFirstAndAtTheBottomMsbFirst) {
    Dev d("MP0001A");
    ASSERT_EQ(d.st, vpod::kOk);
    // Internal loopback: what goes out on TDI comes back on TDO.
    d.send({0x84});
    // Bit shifts of every length: LSB first (0x3B) the bits fill the byte from the top, the first
    // one lowest; MSB first (0x33) from the bottom.
    for (unsigned n = 1; n <= 8; ++n) {
        const uint8_t v = static_cast<uint8_t>(0xA5 ^ (n * 0x1D));
        EXPECT_EQ(d.xfer({0x3B, uint8_t(n - 1), v}, 1), Bytes{uint8_t(v << (8 - n))}) << n;
        EXPECT_EQ(d.xfer({0x33, uint8_t(n - 1), v}, 1), Bytes{uint8_t(v >> (8 - n))}) << n;
    }
    // Byte shifts in both orders return the bytes unchanged through the loopback.
    EXPECT_EQ(d.xfer({0x39, 0x02, 0x00, 0x12, 0x34, 0x56}, 3), (Bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(d.xfer({0x31, 0x01, 0x00, 0x81, 0x7E}, 2), (Bytes{0x81, 0x7E}));
    // Loopback off: TDO floats high with nothing attached.
    d.send({0x85});
    EXPECT_EQ(d.xfer({0x39, 0x00, 0x00, 0x00}, 1), (Bytes{0xFF}));
    EXPECT_EQ(d.xfer({0x2A, 0x03}, 1), (Bytes{0xF0}));
}

TEST_F(Mpsse, GpioReadBackGivesOutputsAsDrivenAndInputsAsTheLinesStand) {
    Dev d("MP0001A");
    // ADBUS2 (TDO) input, nothing attached: it reads 1; the rest as driven.
    EXPECT_EQ(d.xfer({0x80, 0x21, 0xFB, 0x81}, 1), (Bytes{0x25}));
    EXPECT_EQ(d.xfer({0x80, 0x00, 0x00, 0x81}, 1), (Bytes{0xFF}));
    EXPECT_EQ(d.xfer({0x82, 0x5A, 0xFF, 0x83}, 1), (Bytes{0x5A}));
    EXPECT_EQ(d.xfer({0x82, 0x00, 0x0F, 0x83}, 1), (Bytes{0xF0}));
    // Channel B has an external loopback: TDO follows the TDI pin.
    Dev b("MP0001B");
    EXPECT_EQ(b.xfer({0x80, 0x00, 0x0B, 0x81}, 1), (Bytes{0xF0}));
    EXPECT_EQ(b.xfer({0x80, 0x02, 0x0B, 0x81}, 1), (Bytes{0xF6}));
}

TEST_F(Mpsse, BadCommandsAreAnsweredWithFaAndTheOpcodeAlsoForHSeriesOpcodesOnTheFt2232C) {
    Dev h("MP0001A");
    // H-series commands are fine on the FT2232H but 0x9E belongs to the FT232H alone.
    EXPECT_EQ(h.xfer({0x8A, 0x8B, 0x8D, 0x97, 0x8E, 0x02, 0x9E, 0x81}, 3), (Bytes{0xFA, 0x9E, 0xFF}));
    Dev c("MP0002A");
    ASSERT_EQ(c.st, vpod::kOk);
    EXPECT_EQ(c.xfer({0x8A, 0x8B, 0x8C, 0x96, 0x8F}, 10),
              (Bytes{0xFA, 0x8A, 0xFA, 0x8B, 0xFA, 0x8C, 0xFA, 0x96, 0xFA, 0x8F}));
    Dev x("MP0003");
    ASSERT_EQ(x.st, vpod::kOk);
    EXPECT_EQ(x.xfer({0x9E, 0x01, 0x00, 0xAA}, 2), (Bytes{0xFA, 0xAA}));
    // The FT2232C/D has its MPSSE on channel A only; the FT4232H on A and B.
    Dev cb("MP0002B");
    EXPECT_EQ(cb.st, vpod::kInvalidParameter);
    Dev qc("MP0004C");
    EXPECT_EQ(qc.st, vpod::kInvalidParameter);
    Dev qb("MP0004B");
    EXPECT_EQ(qb.st, vpod::kOk);
    // The FT4232H takes the high-byte commands without a high byte to drive.
    EXPECT_EQ(qb.xfer({0x82, 0x00, 0xFF, 0x83}, 1), (Bytes{0xFF}));
}

TEST_F(Mpsse, CommandsSplitAtAnyByteGiveTheSameAnswers) {
    const Bytes stream = {0x84, 0x80, 0x08, 0x0B, 0x39, 0x01, 0x00, 0x12, 0x34, 0x3B, 0x04, 0x15, 0x6B,
                          0x02, 0x83, 0x81, 0x1B, 0x03, 0x0F, 0x2A, 0x05, 0x19, 0x00, 0x00, 0xC3, 0x85,
                          0x28, 0x01, 0x00, 0x87, 0xAA};
    Bytes expected;
    {
        Dev whole("MP0001A");
        whole.send(stream);
        expected = whole.receive(whole.queued());
    }
    ASSERT_EQ(expected.size(), 10u);   // the answers' values are the other tests' concern
    for (size_t cut1 = 1; cut1 < stream.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 < stream.size(); cut2 += 3) {
            Dev d("MP0001A");
            d.send(Bytes(stream.begin(), stream.begin() + static_cast<long>(cut1)));
            d.send(Bytes(stream.begin() + static_cast<long>(cut1), stream.begin() + static_cast<long>(cut2)));
            d.send(Bytes(stream.begin() + static_cast<long>(cut2), stream.end()));
            EXPECT_EQ(d.receive(expected.size()), expected) << "cuts " << cut1 << "," << cut2;
        }
    }
}

TEST_F(Mpsse, AnIncompleteCommandWaitsAndPurgeOfTheTransmitSideDropsIt) {
    Dev d("MP0001A");
    d.send({0x80, 0x00});
    EXPECT_EQ(stateOf("MP0001A").pendingCommandBytes, 2u);
    d.send({0x0B, 0x81});
    EXPECT_EQ(d.receive(1), (Bytes{0xF4}));
    d.send({0x19, 0x03});
    ASSERT_EQ(vpod::purge(d.h, vpod::kPurgeTx), vpod::kOk);
    EXPECT_EQ(stateOf("MP0001A").pendingCommandBytes, 0u);
    EXPECT_EQ(d.xfer({0xAB}, 2), (Bytes{0xFA, 0xAB}));
}

TEST_F(Mpsse, NothingIsInterpretedBeforeMpsseModeAndModeZeroResetsTheEngine) {
    Dev d("MP0001A", false);
    d.send({0xAA, 0x81});
    EXPECT_EQ(d.queued(), 0u);
    ASSERT_EQ(vpod::setBitMode(d.h, 0, 2), vpod::kOk);
    d.send({0x84, 0x86, 0x05, 0x00, 0x8A, 0x80, 0x0B, 0x0B});
    ChipState s = stateOf("MP0001A");
    EXPECT_TRUE(s.loopback);
    ASSERT_EQ(vpod::setBitMode(d.h, 0, 0), vpod::kOk);
    s = stateOf("MP0001A");
    EXPECT_FALSE(s.loopback);
    EXPECT_TRUE(s.divideBy5);
    EXPECT_EQ(s.lowDirection, 0u);
    EXPECT_EQ(vpod::setBitMode(d.h, 0, 0x03), vpod::kInvalidParameter);
}

}  // namespace
