// The SWD target against ADIv5 sequences, driven with raw MPSSE bytes as a pod drives SWDIO:
// TDI on ADBUS1 drives the line, ADBUS1 as an input releases it, TDO (ADBUS2) reads it.
#include <bit>

#include "../shared/swd_wire.h"
#include "vpod_util.h"

using namespace vpodtest;
using namespace swdwire;

namespace {

constexpr uint8_t kOk = 1, kWait = 2, kFault = 4;   // ACK bits as received, first bit = bit 0

const char* const kBoard = "[Device1]\nType=FT232H\nSerial=SW0001\nChannel=mcu\n"
                           "[Target mcu]\nKind=swd\nDpidr=0x2BA01477\nRamBase=0x20000000\nRamSize=4K\n";

struct Swd {
    Dev& d;
    bool pipelined = false;

    static uint8_t request(bool ap, bool read, unsigned addr) {
        const unsigned body = (ap ? 1u : 0u) | (read ? 2u : 0u) | (((addr >> 2) & 3u) << 2);
        return static_cast<uint8_t>(0x81 | (body << 1) | ((std::popcount(body) & 1u) << 5));
    }

    // Line reset, JTAG-to-SWD select 0xE79E, line reset, idle: all on SWDIO, LSB first.
    void connect() {
        d.send(cat({{0x80, 0x00, 0x03, 0x19, 0x10, 0x00}, Bytes(7, 0xFF), {0x9E, 0xE7}, Bytes(7, 0xFF), {0x00}}));
    }

    uint8_t read(bool ap, unsigned addr, uint32_t* value, bool* parityOk = nullptr) {
        if (pipelined) {
            const Bytes r = d.xfer(cat({head(request(ap, true, addr)), readTail()}), 6);
            decode(r, 1, value, parityOk);
            return r[0] >> 5;
        }
        const uint8_t ack = d.xfer(cat({head(request(ap, true, addr)), kSend}), 1)[0] >> 5;
        if (ack == kOk) decode(d.xfer(readTail(), 5), 0, value, parityOk);
        else d.xfer(cat({kDrive, kIdle}), 1);
        return ack;
    }

    uint8_t write(bool ap, unsigned addr, uint32_t v, bool badParity = false) {
        const Bytes start = cat({head(request(ap, false, addr)), kDrive});
        if (pipelined) return d.xfer(cat({start, data(v, badParity), kIdle}), 2)[0] >> 5;
        const uint8_t ack = d.xfer(cat({start, kSend}), 1)[0] >> 5;
        d.xfer(ack == kOk ? cat({data(v, badParity), kIdle}) : kIdle, 1);
        return ack;
    }

    static void decode(const Bytes& r, size_t at, uint32_t* value, bool* parityOk) {
        const uint32_t v = r[at] | (r[at + 1] << 8) | (r[at + 2] << 16) | (static_cast<uint32_t>(r[at + 3]) << 24);
        if (value) *value = v;
        if (parityOk) *parityOk = ((r[at + 4] >> 7) & 1) == (std::popcount(v) & 1);
    }
};

vpod::control::SwdStatus status() {
    vpod::control::SwdStatus s;
    EXPECT_TRUE(vpod::control::swdStatus("SW0001", &s));
    return s;
}

class SwdTarget : public ::testing::Test {
protected:
    void SetUp() override { loadBoard(kBoard); }
};

// Line reset, DPIDR read, lock-out, WAIT without a data phase, sticky FAULT and WDATAERR setting are
// driven end to end in tests/swd; here: what the bridge does not reach.
TEST_F(SwdTarget, ABadRequestParityLocksTheDpOutUntilTheNextLineReset) {
    Dev d("SW0001");
    Swd swd{d};
    uint32_t v = 0;
    EXPECT_EQ(swd.read(false, 0x0, &v), 7);   // still in JTAG mode: the line floats high
    swd.connect();
    d.xfer(cat({head(static_cast<uint8_t>(Swd::request(false, true, 0) ^ 0x20)), kDrive, {0x1B, 0x07, 0x00, 0x87}}), 1);
    EXPECT_EQ(status().parityErrors, 1u);
    EXPECT_TRUE(status().lockedOut);
    swd.connect();
    bool parity = false;
    EXPECT_EQ(swd.read(false, 0x0, &v, &parity), kOk);
    EXPECT_EQ(v, 0x2BA01477u);
    EXPECT_TRUE(parity);
}

// Posted reads and the address increment across blocks are read back through the library in
// tests/swd (the tool's reads); here byte lanes and what lies outside RAM.
TEST_F(SwdTarget, MemApByteLanesAndBusErrors) {
    Dev d("SW0001");
    Swd swd{d};
    swd.connect();
    uint32_t v = 0;
    ASSERT_EQ(swd.read(false, 0x0, &v), kOk);
    ASSERT_EQ(swd.write(true, 0x0, 0x23000012), kOk);    // CSW: word, increment single
    ASSERT_EQ(swd.write(true, 0x4, 0x20000100), kOk);    // TAR
    for (uint32_t w : {0x01234567u, 0x89ABCDEFu, 0xDEADBEEFu}) ASSERT_EQ(swd.write(true, 0xC, w), kOk);
    EXPECT_EQ(status().tar, 0x2000010Cu);
    // Byte writes go to the lane the address selects.
    ASSERT_EQ(swd.write(true, 0x0, 0x23000000), kOk);
    ASSERT_EQ(swd.write(true, 0x4, 0x20000102), kOk);
    ASSERT_EQ(swd.write(true, 0xC, 0x00AB0000), kOk);
    uint8_t ram[4];
    ASSERT_TRUE(vpod::control::swdReadMemory("SW0001", 0x20000100, ram, 4));
    EXPECT_EQ(ram[2], 0xAB);
    EXPECT_EQ(ram[1], 0x45);
    // Outside RAM: the access fails on the bus and STICKYERR makes the next AP access FAULT.
    ASSERT_EQ(swd.write(true, 0x0, 0x23000002), kOk);
    ASSERT_EQ(swd.write(true, 0x4, 0x10000000), kOk);
    ASSERT_EQ(swd.write(true, 0xC, 1), kOk);
    EXPECT_EQ(swd.read(true, 0xC, &v), kFault);
    ASSERT_EQ(swd.read(false, 0x4, &v), kOk);
    EXPECT_TRUE(v & (1u << 5));
}

TEST_F(SwdTarget, OverrunDetectionKeepsTheDataPhaseAndAbortClearsStickyErrors) {
    Dev d("SW0001");
    Swd swd{d};
    swd.connect();
    uint32_t v = 0;
    ASSERT_EQ(swd.read(false, 0x0, &v), kOk);
    ASSERT_EQ(swd.write(true, 0x4, 0x20000000), kOk);
    // A write whose data parity is wrong is dropped; WDATAERR holds until WDERRCLR.
    EXPECT_EQ(swd.write(true, 0x4, 0x20000800, true), kOk);
    EXPECT_EQ(swd.write(true, 0x4, 0x20000800), kFault);
    EXPECT_EQ(swd.write(false, 0x0, 1u << 3), kOk);      // WDERRCLR
    EXPECT_EQ(swd.write(true, 0x4, 0x20000000), kOk);
    // ORUNDETECT: the WAIT keeps the full data phase and sets STICKYORUN, then AP accesses FAULT.
    ASSERT_EQ(swd.write(false, 0x4, 0x00000001), kOk);
    swd.pipelined = true;
    ASSERT_TRUE(vpod::control::swdInjectWait("SW0001", 1));
    EXPECT_EQ(swd.read(true, 0x4, &v), kWait);
    EXPECT_EQ(swd.read(true, 0x4, &v), kFault);
    EXPECT_EQ(swd.read(false, 0x4, &v), kOk);
    EXPECT_EQ(v & 0x3u, 0x3u);                           // ORUNDETECT | STICKYORUN
    EXPECT_EQ(swd.write(false, 0x0, 1u << 4), kOk);      // ABORT.ORUNERRCLR
    EXPECT_EQ(swd.read(true, 0x4, &v), kOk);
    EXPECT_EQ(swd.read(false, 0xC, &v), kOk);
    EXPECT_EQ(v, 0x20000000u);
}

// The wake-up from dormant is driven through the library in tests/swd.
TEST_F(SwdTarget, SwdToDormantPutsTheTargetToSleepAndTheJtagToSwdSwitchIsNotHeardThere) {
    Dev d("SW0001");
    Swd swd{d};
    uint32_t v = 0;
    swd.connect();
    ASSERT_EQ(swd.read(false, 0x0, &v), kOk);
    d.send({0x19, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBC, 0xE3});   // line reset, 0xE3BC
    EXPECT_TRUE(status().dormant);
    swd.connect();
    EXPECT_EQ(swd.read(false, 0x0, &v), 7);
    EXPECT_TRUE(status().dormant);
}

}  // namespace
