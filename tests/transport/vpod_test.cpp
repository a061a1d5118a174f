// The transport against the virtual pod: the exact start-up traffic, device selection by
// address and KCF file, and every fault the pod can inject ending in its defined error.
#include <fstream>
#include <thread>

#include "config/config.h"
#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

using Vpod = TransportTest;

TEST_F(Vpod, OpenTrafficAndTheFirstResetAreExact) {
    ASSERT_TRUE(vc::recordTraffic("DV000001A", true));
    const uint32_t h = open("USB");
    ASSERT_NE(h, 0xFFFFFFFFu);
    // Pins, a read of them, loopback on, two bad commands whose echoes the open checks (a broken
    // echo: reliability/fault_matrix_test), loopback off.
    EXPECT_EQ(written("DV000001A"), (Bytes{0x80, 0x00, 0x00, 0x81, 0x87, 0x84, 0xAA, 0x87, 0xAB, 0x87, 0x85}));
    vc::ChipState st;
    ASSERT_TRUE(vc::chipState("DV000001A", &st));
    EXPECT_EQ(st.bitMode, 2);
    EXPECT_EQ(st.latencyMs, 2);
    EXPECT_FALSE(st.loopback);

    vc::clearTraffic("DV000001A");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    EXPECT_EQ(written("DV000001A"), (Bytes{0x86, 0x04, 0x00, 0x8A, 0x83, 0x87,   // 6000 kHz, then its marker
                                          0x80, 0x0A, 0x0B, 0x82, 0x00, 0x00,   // pins
                                          0x6B, 0x04, 0xFF, 0x87}));            // the reset itself
    ASSERT_TRUE(vc::chipState("DV000001A", &st));
    EXPECT_EQ(st.divisor, 4);
    EXPECT_FALSE(st.divideBy5);
    vc::clearTraffic("DV000001A");
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    EXPECT_EQ(written("DV000001A"), (Bytes{0x6B, 0x04, 0xFF, 0x87})) << "the set-up is sent once";
}

const char* kBoard =
    "[Device1]\nType=FT2232H\nSerial=HS01\nDescription=Dual RS232\nChannelA=loopback\nChannelB=loopback\n"
    "[Device2]\nType=FT232H\nSerial=SH01\nDescription=Single RS232-HS\nChannel=loopback\n"
    "[Device3]\nType=FT2232C\nSerial=DC01\nDescription=Dual RS232\nChannelA=loopback\n"
    "[Device4]\nType=FT4232H\nSerial=QH01\nDescription=Quad RS232-HS\nChannelA=loopback\n"
    "[Device5]\nType=FT2232H\nSerial=HS02\nDescription=Dual RS232\nChannelA=loopback\n";

class VpodKcf : public Vpod {
protected:
    void SetUp() override {
        Vpod::SetUp();
        board(kBoard);
        dir = std::string(DORVANE_BINARY_DIR) + "/kcf-transport/";
        platform::createDirectory(dir);
        saved = kcfDirectory();
        setKcfDirectory(dir);
    }
    void TearDown() override {
        setKcfDirectory(saved);
        Vpod::TearDown();
    }
    // Writes the KCF file and opens through it: the handle, 0xFFFFFFFF when refused.
    uint32_t openKcf(const std::string& name, const std::string& body) {
        std::ofstream(dir + name + ".Kcf") << "[FT2232Kpx]\nVersion=1.0.0.0\n" << body;
        return open(("USBF" + name).c_str());
    }
    // The open is refused with code and leaves the interface closed.
    void refused(const std::string& body, uint32_t code, const std::string& iface) {
        EXPECT_EQ(openKcf("refused", body), 0xFFFFFFFFu) << body;
        EXPECT_EQ(globalLastError(), code) << body;
        EXPECT_FALSE(vc::isOpen(iface)) << body;
    }
    std::string dir, saved;
};

TEST_F(VpodKcf, ChannelsSingleChannelChipsAndSerialNumbers) {
    uint32_t h = openKcf("chanb", "InterfaceType=SerialNumber\nSerialNumber=HS01\nSubDevice=B\n");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("HS01B"));
    EXPECT_FALSE(vc::isOpen("HS01A"));
    {
        auto ctx = locked(h);
        EXPECT_STREQ(ctx->serialNumber, "HS01");
        EXPECT_STREQ(ctx->controllerAddress, "USBSHS01,Dual RS232 B");
    }
    close(h);
    h = openKcf("single", "InterfaceType=SerialNumber\nSerialNumber=SH01\nDescriptionString=Single RS232-HS\nSubDevice=-\n");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("SH01"));
    {
        auto ctx = locked(h);
        EXPECT_STREQ(ctx->serialNumber, "SH01") << "no channel letter to remove";
        EXPECT_EQ(transportOf(ctx).maxTckKHz, 30000);
    }
    close(h);
    // Channel B by logical unit: three chips have a "Dual RS232 B" channel, so unit 3 is none.
    refused("LogicalUnitNumber=3\nSubDevice=B\n", err::LUN_NOT_FOUND, "HS02B");
    h = openKcf("luna", "LogicalUnitNumber=1\n");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("DC01A")) << "the FT2232C is the second Dual RS232 channel A";
    close(h);
}

TEST_F(VpodKcf, TrstPinsRefusedPerChipAndNothingLeftOpen) {
    refused("InterfaceType=SerialNumber\nSerialNumber=DC01\nTrstPin=CtrlBus4\n", err::TRST_FT2232C, "DC01A");
    refused("InterfaceType=SerialNumber\nSerialNumber=QH01\nDescriptionString=Quad RS232-HS\nTrstPin=CtrlBus0\n",
            err::TRST_FT4232H, "QH01A");
    uint32_t h = openKcf("c3", "InterfaceType=SerialNumber\nSerialNumber=DC01\nTrstPin=CtrlBus3\n");
    ASSERT_NE(h, 0xFFFFFFFFu);
    const DorvaneControllerInfo* info = nullptr;
    ASSERT_EQ(x_kpxGetControllerInfo(h, &info), 0u);
    EXPECT_EQ(info->capabilities, 0x80Bu);
    close(h);
    h = openKcf("q5", "InterfaceType=SerialNumber\nSerialNumber=QH01\nDescriptionString=Quad RS232-HS\nTrstPin=DataBus5\n");
    ASSERT_NE(h, 0xFFFFFFFFu);
    ASSERT_TRUE(vc::recordTraffic("QH01A", true));
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    const Bytes w = written("QH01A");
    ASSERT_GE(w.size(), 12u);
    EXPECT_EQ(Bytes(w.begin() + 6, w.begin() + 12), (Bytes{0x80, 0x2A, 0x2B, 0x82, 0x00, 0x00}))
        << "TRST driven high (released) as an output";
    close(h);
}

TEST_F(VpodKcf, BusyDevicesAreSkippedAndOpenOnesAreBusyToo) {
    ASSERT_TRUE(vc::setBusy("HS01A", true));
    const uint32_t first = open("USB");
    ASSERT_NE(first, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("DC01A"));
    const uint32_t second = open("USB");
    ASSERT_NE(second, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("HS02A"));
    EXPECT_EQ(open("USB"), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::LUN_NOT_FOUND));
    vc::setBusy("HS01A", false);
}

// A broken echo and fifteen failed resets at open are cells of reliability/fault_matrix_test.
TEST_F(Vpod, FaultsAtOpenEndInTheirErrors) {
    ASSERT_TRUE(vc::failResets("DV000001A", 14));
    uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu) << "the fifteenth reset succeeds";
    close(h);

    struct Case { vc::Op op; uint32_t status; uint32_t code; };
    const Case cases[] = {
        {vc::Op::SetBitMode, FT_IO_ERROR, err::DRIVER_IO_ERROR},
        {vc::Op::SetTimeouts, FT_INVALID_PARAMETER, err::DRIVER_INVALID_PARAMETER},
        {vc::Op::SetLatencyTimer, FT_OTHER_ERROR, err::DRIVER_OTHER_ERROR},
        {vc::Op::SetEventNotification, FT_INSUFFICIENT_RESOURCES, err::DRIVER_INSUFFICIENT_RESOURCES},
        {vc::Op::Purge, FT_IO_ERROR, err::DRIVER_IO_ERROR},
        {vc::Op::GetDeviceInfo, FT_INVALID_HANDLE, err::DRIVER_INVALID_HANDLE},
        {vc::Op::OpenEx, FT_DEVICE_NOT_FOUND, err::DRIVER_DEVICE_NOT_FOUND},
        {vc::Op::Write, FT_FAILED_TO_WRITE_DEVICE, err::DRIVER_WRITE_FAILED},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(vc::failNext("DV000001A", c.op, c.status, 1));
        const char* address = c.op == vc::Op::OpenEx ? "USBSDV000001" : "USB";
        EXPECT_EQ(open(address), 0xFFFFFFFFu) << int(c.op);
        EXPECT_EQ(globalLastError(), c.code) << int(c.op);
        EXPECT_FALSE(vc::isOpen("DV000001A")) << int(c.op);
        vc::clearFaults("DV000001A");
    }
    h = open();
    EXPECT_NE(h, 0xFFFFFFFFu) << "nothing of the failed attempts is left behind";
}

// Each fault against each class of call, an unplug included, is a cell of
// reliability/fault_matrix_test; here what follows from a fault on the same handle.
TEST_F(Vpod, FaultsWhileRunningEndInTheirErrors) {
    uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_TRUE(vc::shortWrites("DV000001A", 1, 1));
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::WRITE_TIMEOUT));
    ASSERT_EQ(x_kpxResetController(h), 0u) << "a reset brings the controller back into step";
    ASSERT_EQ(x_tmsReset(h, 1), 0u);

    // The thread posts its error before it leaves; once it is gone the lookup refuses.
    auto stopped = [&h] {
        for (uint32_t t0 = platform::millisecondTimer(); platform::millisecondTimer() - t0 < 10000;) {
            if (!ContextGuard(lookupRunningContext(h, 0))) return true;
            platform::yieldProcessor();
        }
        return false;
    };
    // The receive side's driver call fails: the thread posts it and stops.
    ASSERT_TRUE(vc::failNext("DV000001A", vc::Op::Read, FT_IO_ERROR, 1));
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), err::DRIVER_IO_ERROR);
    ASSERT_TRUE(stopped());
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::RX_THREAD_NOT_RUNNING));
    EXPECT_EQ(close(h), 0u);

    // A byte no record asked for stops the thread too; a controller reset brings the thread
    // back, but the posted error stays for the context's life.
    h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    ASSERT_TRUE(vc::strayBytes("DV000001A", {0x55}));
    ASSERT_TRUE(stopped());
    ASSERT_EQ(x_kpxResetController(h), 0u);
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(lastErrorFor(h), uint32_t(err::RESULT_ALREADY_PROCESSED));
}

TEST_F(Vpod, StalledReadWithBufferingEndsInTheResultTimeOut) {
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    {
        auto ctx = locked(h);
        transportOf(ctx).readTimeoutMs = 400;
        transportOf(ctx).resultTimeoutMs = 100;
    }
    ASSERT_EQ(x_kpxResetController(h), 0u);   // puts the short read time-out into effect
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_TRUE(vc::stallReads("DV000001A", 1));
    EXPECT_EQ(x_scanSetBuffering(h, 2), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::KPX_READ_TIMEOUT));
    vc::clearFaults("DV000001A");
    {
        auto ctx = locked(h);
        transportOf(ctx).resultTimeoutMs = 125000;
    }
    EXPECT_EQ(close(h), 0u) << "the late answer is still taken at close";
}

// The default chain after a TMS reset: both TAPs hold IDCODE (dap nearest TDO, then bsc).
bool isChainIdcodes(const uint16_t* tdo) {
    return tdo[0] == 0x0477 && tdo[1] == 0x4BA0 && tdo[2] == 0x3041 && tdo[3] == 0x0641;
}

// Types 1 and 9 (wait for TDO, defer it to the flush) and 3 (discard) are also run by
// jtag/vpod_chain_test and reliability/load_test; here the types' arguments, type 4 (send),
// and deferred results that fill several result blocks.
TEST_F(Vpod, BufferedScansDeliverTdoWhenTheirTypeSays) {
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    const uint16_t tdi[4] = {};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    EXPECT_EQ(x_scanSetBuffering(h, 0), 0u) << "off stays off";
    EXPECT_EQ(x_scanSetBuffering(h, 2), 0u) << "nothing held back: returns at once";
    EXPECT_EQ(x_scanSetBuffering(h, 128), 0xFFFFFFFFu);
    for (uint32_t bad : {5u, 8u, 10u, 127u, 129u}) {
        EXPECT_EQ(x_scanSetBuffering(h, bad), 1u);
        EXPECT_EQ(globalLastError(), uint32_t(err::INVALID_BUFFERING));
    }
    // Type 9 queues; dropped by type 3, sent by type 4, then a type-1 scan waits for every earlier record too.
    uint16_t dropped[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA}, sent[4] = {}, last[4] = {};
    for (uint32_t type : {3u, 4u}) {
        ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
        ASSERT_EQ(x_tmsReset(h, 1) | x_scanDr(h, 1, tdi, 64, type == 3 ? dropped : sent), 0u);
        EXPECT_EQ(sent[0], 0) << "held back in the command buffer";
        ASSERT_EQ(x_scanSetBuffering(h, type), 0u);
    }
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    ASSERT_EQ(x_tmsReset(h, 1) | x_scanDr(h, 1, tdi, 64, last), 0u);
    EXPECT_EQ(dropped[0], 0xAAAA);
    EXPECT_TRUE(isChainIdcodes(sent));
    EXPECT_TRUE(isChainIdcodes(last));

    // 250 held-back scans fill several result blocks; each gets its own TDO.
    std::vector<uint16_t> many(250 * 4);
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    for (int i = 0; i < 250; ++i) ASSERT_EQ(x_tmsReset(h, 1) | x_scanDr(h, 1, tdi, 64, &many[4 * i]), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 2), 0u);
    for (int i = 0; i < 250; ++i) EXPECT_TRUE(isChainIdcodes(&many[4 * i])) << i;
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
}

// Controllers on several threads: reliability/load_test.

}  // namespace
