// The transport against the virtual pod: the exact start-up traffic, device selection by
// address and KCF file, and every fault the pod can inject ending in its defined error.
#include <atomic>
#include <fstream>
#include <thread>

#include "config/config.h"
#include "fixture.h"
#include "transport/driver_providers.h"
#include "vpod/control.h"

using namespace dorvane;
using namespace dorvane::transport;
namespace vc = vpod::control;

namespace {

class Vpod : public TransportTest {
protected:
    void SetUp() override {
        setFtdiDriver(&vpodDriver());
        vc::loadDefaultBoard();
    }
    void TearDown() override {
        TransportTest::TearDown();
        vc::loadDefaultBoard();
    }
    void board(const std::string& text) {
        std::string error;
        ASSERT_TRUE(vc::loadConfigText(text, &error)) << error;
    }
    static Bytes written(const std::string& iface) {
        Bytes b;
        vc::trafficWritten(iface, &b);
        return b;
    }
    static Bytes read(const std::string& iface) {
        Bytes b;
        vc::trafficRead(iface, &b);
        return b;
    }
};

TEST_F(Vpod, OpenTrafficAndTheFirstResetAreExact) {
    ASSERT_TRUE(vc::recordTraffic("DV000001A", true));
    const uint32_t h = open("USB");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_EQ(written("DV000001A"), kOpenBytes);
    const Bytes answers = read("DV000001A");
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(Bytes(answers.begin() + 1, answers.end()), (Bytes{0xFA, 0xAA, 0xFA, 0xAB}));
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
    void kcf(const std::string& name, const std::string& body) {
        std::ofstream(dir + name + ".Kcf") << "[FT2232Kpx]\nVersion=1.0.0.0\n" << body;
    }
    uint32_t openKcf(const std::string& name) { return open(("USBF" + name).c_str()); }
    std::string dir, saved;
};

TEST_F(VpodKcf, ChannelsSingleChannelChipsAndSerialNumbers) {
    kcf("chanb", "InterfaceType=SerialNumber\nSerialNumber=HS01\nSubDevice=B\n");
    uint32_t h = openKcf("chanb");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("HS01B"));
    EXPECT_FALSE(vc::isOpen("HS01A"));
    {
        auto ctx = locked(h);
        EXPECT_STREQ(ctx->serialNumber, "HS01");
        EXPECT_STREQ(ctx->controllerAddress, "USBSHS01,Dual RS232 B");
    }
    close(h);

    kcf("single", "InterfaceType=SerialNumber\nSerialNumber=SH01\nDescriptionString=Single RS232-HS\nSubDevice=-\n");
    h = openKcf("single");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("SH01"));
    {
        auto ctx = locked(h);
        EXPECT_STREQ(ctx->serialNumber, "SH01") << "no channel letter to remove";
        EXPECT_EQ(transportOf(ctx).maxTckKHz, 30000);
    }
    close(h);

    // Channel B by logical unit: three chips have a "Dual RS232 B" channel, so unit 3 is none.
    kcf("lunb", "LogicalUnitNumber=3\nSubDevice=B\n");
    EXPECT_EQ(openKcf("lunb"), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::LUN_NOT_FOUND));
    kcf("luna", "LogicalUnitNumber=1\n");
    h = openKcf("luna");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("DC01A")) << "the FT2232C is the second Dual RS232 channel A";
    close(h);

    EXPECT_EQ(openKcf("missing"), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), err::KCF_NOT_FOUND);
}

TEST_F(VpodKcf, TrstPinsRefusedPerChipAndNothingLeftOpen) {
    kcf("c4", "InterfaceType=SerialNumber\nSerialNumber=DC01\nTrstPin=CtrlBus4\n");
    EXPECT_EQ(openKcf("c4"), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::TRST_FT2232C));
    EXPECT_FALSE(vc::isOpen("DC01A"));
    kcf("c3", "InterfaceType=SerialNumber\nSerialNumber=DC01\nTrstPin=CtrlBus3\n");
    uint32_t h = openKcf("c3");
    ASSERT_NE(h, 0xFFFFFFFFu);
    const DorvaneControllerInfo* info = nullptr;
    ASSERT_EQ(x_kpxGetControllerInfo(h, &info), 0u);
    EXPECT_EQ(info->capabilities, 0x80Bu);
    close(h);

    kcf("q0", "InterfaceType=SerialNumber\nSerialNumber=QH01\nDescriptionString=Quad RS232-HS\nTrstPin=CtrlBus0\n");
    EXPECT_EQ(openKcf("q0"), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::TRST_FT4232H));
    EXPECT_FALSE(vc::isOpen("QH01A"));
    kcf("q5", "InterfaceType=SerialNumber\nSerialNumber=QH01\nDescriptionString=Quad RS232-HS\nTrstPin=DataBus5\n");
    h = openKcf("q5");
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

TEST_F(Vpod, FaultsAtOpenEndInTheirErrors) {
    ASSERT_TRUE(vc::breakEcho("DV000001A", true));
    EXPECT_EQ(open(), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::SYNC_FAILURE));
    EXPECT_FALSE(vc::isOpen("DV000001A"));
    vc::clearFaults("DV000001A");

    ASSERT_TRUE(vc::failResets("DV000001A", 14));
    uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu) << "the fifteenth reset succeeds";
    close(h);
    ASSERT_TRUE(vc::failResets("DV000001A", 15));
    EXPECT_EQ(open(), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), err::DRIVER_IO_ERROR);
    vc::clearFaults("DV000001A");

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

TEST_F(Vpod, FaultsWhileRunningEndInTheirErrors) {
    uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    ASSERT_EQ(x_tmsReset(h, 1), 0u);

    ASSERT_TRUE(vc::shortWrites("DV000001A", 1, 1));
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::WRITE_TIMEOUT));
    vc::clearFaults("DV000001A");
    ASSERT_EQ(x_kpxResetController(h), 0u) << "a reset brings the controller back into step";
    ASSERT_EQ(x_tmsReset(h, 1), 0u);

    // The receive side's driver call fails: the thread posts it and stops.
    ASSERT_TRUE(vc::failNext("DV000001A", vc::Op::Read, FT_IO_ERROR, 1));
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), err::DRIVER_IO_ERROR);
    // The thread posts its error before it leaves; once it is gone the lookup refuses.
    auto running = [h] { return ContextGuard(lookupRunningContext(h, 0)).get() != nullptr; };
    const uint32_t start = platform::millisecondTimer();
    while (running() && platform::millisecondTimer() - start < 10000) platform::yieldProcessor();
    ASSERT_FALSE(running());
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::RX_THREAD_NOT_RUNNING));
    vc::clearFaults("DV000001A");
    EXPECT_EQ(close(h), 0u);

    // Unplugged: every call on the handle fails, close still works and frees the device.
    h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    ASSERT_TRUE(vc::unplug("DV000001A"));
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    x_closeKpx(h);
    std::erase(opened, h);
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::INVALID_KPX_HANDLE));
    ASSERT_TRUE(vc::replug("DV000001A"));
    h = open();
    EXPECT_NE(h, 0xFFFFFFFFu);
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

    // Type 1: a scan that returns TDO waits for it.
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    uint16_t tdo[4] = {};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, tdi, 64, tdo), 0u);
    EXPECT_TRUE(isChainIdcodes(tdo));

    // Type 9: the scan only queues; the flush brings the bits.
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    uint16_t deferred[4] = {};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, tdi, 64, deferred), 0u);
    EXPECT_EQ(deferred[0], 0) << "held back in the command buffer";
    ASSERT_EQ(x_scanSetBuffering(h, 2), 0u);
    EXPECT_TRUE(isChainIdcodes(deferred));

    // Discard: the bits never come.
    uint16_t dropped[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, tdi, 64, dropped), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 3), 0u);
    EXPECT_EQ(dropped[0], 0xAAAA);

    // Send, then a waiting scan (type 1) that waits for every earlier record too.
    uint16_t sent[4] = {};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, tdi, 64, sent), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 4), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    uint16_t last[4] = {};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, tdi, 64, last), 0u);
    EXPECT_TRUE(isChainIdcodes(sent));
    EXPECT_TRUE(isChainIdcodes(last));
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
}

TEST_F(Vpod, TwoControllersOnTwoThreadsReadTheirChains) {
    board("[Device1]\nType=FT2232H\nSerial=P1\nDescription=Dual RS232\nChannelA=chain\n"
          "[Device2]\nType=FT2232H\nSerial=P2\nDescription=Dual RS232\nChannelA=chain\n"
          "[Target chain]\nKind=jtag\nTaps=dap, bsc\n"
          "[Target dap]\nKind=tap\nIrLength=4\nIdcode=0x4BA00477\n"
          "[Target bsc]\nKind=tap\nIrLength=5\nIdcode=0x06413041\n");
    const uint32_t a = open("USBSP1"), b = open("USBSP2");
    ASSERT_NE(a, 0xFFFFFFFFu);
    ASSERT_NE(b, 0xFFFFFFFFu);
    std::atomic<int> wrong{0};
    auto work = [&](uint32_t h) {
        const uint16_t tdi[4] = {};
        for (int i = 0; i < 2000; ++i) {
            uint16_t tdo[4] = {};
            if (x_tmsReset(h, 1) || x_scanDr(h, 1, tdi, 64, tdo)) { ++wrong; continue; }
            if (!isChainIdcodes(tdo)) ++wrong;
        }
    };
    std::thread t1(work, a), t2(work, b);
    t1.join();
    t2.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
