// Enumeration, the D2XX status paths, fault injection, trace, and the remote-bitbang bridge.
#include <atomic>
#include <cstdio>

#include "rbb_server.h"
#include "vpod_util.h"

using namespace vpodtest;
using vpod::control::Op;

namespace {

std::string nineInterfaceBoard(uint16_t rbbPort, const std::string& device1Extra = "") {
    return "[Device1]\nType=FT2232H\nSerial=FT000001\nDescription=Dual RS232-HS\nChannelA=loopback\nChannelB=rbb:" +
           std::to_string(rbbPort) + "\n" + device1Extra +
           "[Device2]\nType=FT232H\nSerial=FT000002\n"
           "[Device3]\nType=FT4232H\nSerial=FT000003\nBusy=B\n"
           "[Device4]\nType=FT2232C\nSerial=FT000004\nDescription=Dual RS232\n";
}

std::string tempPath(const char* name) {
    return std::string(DORVANE_BINARY_DIR) + "/vpod_test_" + name;
}

// Reads a recording and removes it.
std::string takeFile(const std::string& path) {
    const std::string text = readFile(path);
    std::remove(path.c_str());
    return text;
}

// The number of interfaces enumeration lists.
uint32_t listed() {
    uint32_t count = 0;
    EXPECT_EQ(vpod::listDevices(&count, nullptr, vpod::kListNumberOnly), vpod::kOk);
    return count;
}

class D2xx : public ::testing::Test {
protected:
    void SetUp() override { loadBoard(nineInterfaceBoard(1)); }
};

TEST_F(D2xx, NineInterfacesWithSerialsDescriptionsAndStatuses) {
    ASSERT_EQ(listed(), 9u);
    const char* serials[] = {"FT000001A", "FT000001B", "FT000002", "FT000003A", "FT000003B",
                             "FT000003C", "FT000003D", "FT000004A", "FT000004B"};
    const char* descriptions[] = {"Dual RS232-HS A", "Dual RS232-HS B", "Single RS232-HS", "Quad RS232-HS A", "",
                                  "Quad RS232-HS C", "Quad RS232-HS D", "Dual RS232 A", "Dual RS232 B"};
    for (uint32_t i = 0; i < 9; ++i) {
        char buf[64] = {};
        void* index = reinterpret_cast<void*>(static_cast<uintptr_t>(i));
        ASSERT_EQ(vpod::listDevices(index, buf, vpod::kListByIndex | vpod::kOpenBySerialNumber), vpod::kOk);
        EXPECT_STREQ(buf, serials[i]);
        const vpod::Status st = vpod::listDevices(index, buf, vpod::kListByIndex | vpod::kOpenByDescription);
        if (i == 4) {
            EXPECT_EQ(st, vpod::kDeviceNotOpened);   // held by another process
            continue;
        }
        ASSERT_EQ(st, vpod::kOk);
        EXPECT_STREQ(buf, descriptions[i]);
        vpod::Handle* h = nullptr;
        ASSERT_EQ(vpod::open(i, &h), vpod::kOk);
        // The type (it sets the library's clock and pins) and serial: tests/transport, provider_test.
        uint32_t id = 0;
        char desc[64] = {};
        ASSERT_EQ(vpod::getDeviceInfo(h, nullptr, &id, nullptr, desc), vpod::kOk);
        EXPECT_EQ(id >> 16, 0x0403u);
        EXPECT_STREQ(desc, descriptions[i]);
        // Open here: the description cannot be read by anyone else, and a second open fails.
        EXPECT_EQ(vpod::listDevices(index, buf, vpod::kListByIndex | vpod::kOpenByDescription), vpod::kDeviceNotOpened);
        vpod::Handle* again = nullptr;
        EXPECT_EQ(vpod::open(i, &again), vpod::kDeviceNotOpened);
        EXPECT_EQ(vpod::close(h), vpod::kOk);
    }
    vpod::Handle* h = nullptr;
    EXPECT_EQ(vpod::openEx("FT000003B", vpod::kOpenBySerialNumber, &h), vpod::kDeviceNotOpened);
    EXPECT_EQ(vpod::openEx("FT000003", vpod::kOpenBySerialNumber, &h), vpod::kDeviceNotFound);
    EXPECT_EQ(vpod::openEx("FT000002A", vpod::kOpenBySerialNumber, &h), vpod::kDeviceNotFound);
    ASSERT_EQ(vpod::openEx("Dual RS232 B", vpod::kOpenByDescription, &h), vpod::kOk);
    EXPECT_EQ(vpod::close(h), vpod::kOk);
    EXPECT_EQ(vpod::open(9, &h), vpod::kDeviceNotFound);
    EXPECT_EQ(vpod::listDevices(reinterpret_cast<void*>(9), nullptr, vpod::kListByIndex | vpod::kOpenBySerialNumber),
              vpod::kInvalidParameter);
}

TEST_F(D2xx, HandlesAndArgumentsAreChecked) {
    vpod::Handle* h = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(vpod::close(nullptr), vpod::kInvalidHandle);
    EXPECT_EQ(vpod::write(reinterpret_cast<vpod::Handle*>(&n), "x", 1, &n), vpod::kInvalidHandle);
    EXPECT_EQ(vpod::openEx(nullptr, vpod::kOpenBySerialNumber, &h), vpod::kInvalidParameter);
    EXPECT_EQ(vpod::openEx("FT000002", 9, &h), vpod::kInvalidParameter);
    ASSERT_EQ(vpod::openEx("FT000002", vpod::kOpenBySerialNumber, &h), vpod::kOk);
    EXPECT_EQ(vpod::read(h, nullptr, 1, &n), vpod::kInvalidParameter);
    EXPECT_EQ(vpod::getQueueStatus(h, nullptr), vpod::kInvalidParameter);
    EXPECT_EQ(vpod::setLatencyTimer(h, 1), vpod::kInvalidParameter);
    EXPECT_EQ(vpod::setLatencyTimer(h, 2), vpod::kOk);
    uint8_t b;
    EXPECT_EQ(vpod::read(h, &b, 0, &n), vpod::kOk);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(vpod::close(h), vpod::kOk);
    EXPECT_EQ(vpod::close(h), vpod::kInvalidHandle);
}

// Stray bytes fire the event too: Vpod.FaultsWhileRunningEndInTheirErrors (tests/transport).
TEST_F(D2xx, ReadsHonourTheTimeoutAndEventsFireWhenBytesArrive) {
    Dev d("FT000001A");
    ASSERT_EQ(vpod::setTimeouts(d.h, 20, 20), vpod::kOk);
    uint8_t buf[4];
    uint32_t got = 9;
    EXPECT_EQ(vpod::read(d.h, buf, 2, &got), vpod::kOk);
    EXPECT_EQ(got, 0u);
    std::atomic<int> events{0};
    auto bump = [](void* a) { static_cast<std::atomic<int>*>(a)->fetch_add(1); };
    ASSERT_EQ(vpod::setEventNotification(d.h, vpod::kEventRxChar, bump, &events), vpod::kOk);
    d.send({0x84});
    EXPECT_EQ(events.load(), 0);
    d.send({0xAA, 0x87});
    EXPECT_EQ(events.load(), 1);
    EXPECT_EQ(vpod::read(d.h, buf, 4, &got), vpod::kOk);   // two there, two never come
    EXPECT_EQ(got, 2u);
    ASSERT_EQ(vpod::setEventNotification(d.h, 0, nullptr, nullptr), vpod::kOk);
    d.send({0xAB});
    EXPECT_EQ(events.load(), 1);
    // A reader blocked in Read wakes up when a writer's answer arrives.
    ASSERT_EQ(vpod::purge(d.h, vpod::kPurgeRx), vpod::kOk);
    ASSERT_EQ(vpod::setTimeouts(d.h, 0, 0), vpod::kOk);   // no limit
    std::thread reader([&] {
        uint32_t g = 0;
        uint8_t r[2];
        EXPECT_EQ(vpod::read(d.h, r, 2, &g), vpod::kOk);
        EXPECT_EQ(g, 2u);
        EXPECT_EQ(r[1], 0xAA);
    });
    d.send({0xAA});
    reader.join();
}

// Counted faults and where they count. Every fault against every class of call, and the clearing
// of faults, is reliability/fault_matrix_test; what each ends in, tests/transport.
TEST_F(D2xx, InjectedFaultsCountDownPerInterface) {
    Dev d("FT000001A");
    ASSERT_TRUE(vpod::control::failNext("FT000001A", Op::Write, vpod::kIoError, 2));
    uint32_t n = 0, count = 0;
    const uint8_t cmd[] = {0xAA, 0x87};
    EXPECT_EQ(vpod::write(d.h, cmd, 2, &n), vpod::kIoError);
    EXPECT_EQ(vpod::write(d.h, cmd, 2, &n), vpod::kIoError);
    EXPECT_EQ(d.queued(), 0u);
    EXPECT_EQ(d.xfer({0xAA, 0x87}, 2), (Bytes{0xFA, 0xAA}));
    // Enumeration faults count against the interface they concern.
    ASSERT_TRUE(vpod::control::failNext("FT000002", Op::ListDevices, vpod::kOtherError, 1));
    EXPECT_EQ(vpod::listDevices(&count, nullptr, vpod::kListNumberOnly), vpod::kOtherError);
    EXPECT_EQ(vpod::listDevices(&count, nullptr, vpod::kListNumberOnly), vpod::kOk);
}

// What an unplugged or cycled handle's calls end in, and the chip's return, are also cells of
// reliability/fault_matrix_test; here what the bus shows.
TEST_F(D2xx, UnplugAndCyclePortTakeTheWholeChipOffTheBus) {
    vpod::Handle* a = nullptr;
    vpod::Handle* b = nullptr;
    ASSERT_EQ(vpod::openEx("FT000001A", vpod::kOpenBySerialNumber, &a), vpod::kOk);
    ASSERT_EQ(vpod::openEx("FT000001B", vpod::kOpenBySerialNumber, &b), vpod::kOk);
    ASSERT_EQ(vpod::cyclePort(a), vpod::kOk);
    EXPECT_EQ(listed(), 7u);
    uint32_t n = 0;
    EXPECT_EQ(vpod::getQueueStatus(b, &n), vpod::kIoError);   // the other channel is gone too
    EXPECT_EQ(vpod::write(a, "\xAA", 1, &n), vpod::kIoError);
    EXPECT_EQ(vpod::close(a), vpod::kOk);
    EXPECT_EQ(listed(), 7u);   // b still holds the old device
    EXPECT_EQ(vpod::close(b), vpod::kOk);
    EXPECT_EQ(listed(), 9u);
    {
        Dev d("FT000001A", false);
        vpod::control::ChipState s;
        ASSERT_TRUE(vpod::control::chipState("FT000001A", &s));
        EXPECT_EQ(s.bitMode, 0u) << "after re-enumeration the chip is out of MPSSE mode";
    }
    ASSERT_TRUE(vpod::control::unplug("FT000002"));
    EXPECT_EQ(listed(), 8u);
    vpod::Handle* h = nullptr;
    EXPECT_EQ(vpod::openEx("FT000002", vpod::kOpenBySerialNumber, &h), vpod::kDeviceNotFound);
    ASSERT_TRUE(vpod::control::replug("FT000002"));
    EXPECT_EQ(listed(), 9u);
}

TEST_F(D2xx, BadBoardFilesAreRefusedAndTheOldBoardStays) {
    std::string error;
    EXPECT_FALSE(vpod::control::loadConfigText("[Device1]\nType=FT9999\n", &error));
    EXPECT_NE(error.find("FT9999"), std::string::npos);
    for (const char* bad : {"ChannelA=none", "ChannelA=nosuch", "TrstA=DataBus3", "ChannelA=rbb:70000", "Colour=red",
                            "ChannelA=t\n[Target t]\nKind=tap\nIdcode=0x1234"}) {
        const std::string type = std::string(bad) == "ChannelA=none" ? "FT232H" : "FT2232H";
        EXPECT_FALSE(vpod::control::loadConfigText("[Device1]\nType=" + type + "\n" + bad + "\n", &error)) << bad;
    }
    EXPECT_FALSE(vpod::control::loadConfigText("[Device1\nType=FT2232H\n", &error));
    EXPECT_EQ(vpod::control::interfaces().size(), 9u);
    vpod::control::loadDefaultBoard();
    EXPECT_EQ(vpod::control::interfaces(), (std::vector<std::string>{"DV000001A", "DV000001B"}));
}

TEST_F(D2xx, RemoteBitbangBridgeReadsTheIdcodeOfAnExternalTap) {
    RbbServer server(0x5BA00477);
    ASSERT_TRUE(server.listening());
    loadBoard(nineInterfaceBoard(server.port(), "TrstB=DataBus5\n"));
    {
        Dev d("FT000001B");
        // TRST driven high (released), then asserted and released again.
        d.send({0x80, 0x28, 0x2B, 0x80, 0x08, 0x2B, 0x80, 0x28, 0x2B});
        const Bytes id = d.xfer({0x4B, 0x05, 0x1F, 0x4B, 0x03, 0x02, 0x28, 0x03, 0x00, 0x87}, 4);
        EXPECT_EQ(id, (Bytes{0x77, 0x04, 0xA0, 0x5B}));
    }
    vpod::control::loadDefaultBoard();   // the bridge says goodbye
    server.join();   // ends at 'Q'
    EXPECT_TRUE(server.quitSeen.load());
    EXPECT_EQ(server.trstAssertions.load(), 1);
    EXPECT_EQ(server.risingEdges.load(), 6 + 4 + 32);
}

// The trace has one line per write and per read that returned bytes; the waveform shows every
// TCK and the SWDIO direction.
TEST_F(D2xx, TraceAndWaveformRecordTheTraffic) {
    const std::string trace = tempPath("trace.txt"), wave = tempPath("wave.vcd");
    std::remove(trace.c_str());
    vpod::control::setTraceFile(trace);
    vpod::control::setVcdFile(wave);
    {
        Dev d("FT000001A");
        // 5 TMS clocks with ADBUS1 an output, 3 idle clocks with it an input, a bad command.
        d.send({0x80, 0x08, 0x0B, 0x4B, 0x04, 0x1F, 0x80, 0x00, 0x09, 0x8E, 0x02, 0xAA, 0x87});
        uint8_t buf[4];
        uint32_t n = 0;
        ASSERT_EQ(vpod::read(d.h, buf, 1, &n), vpod::kOk);
        ASSERT_EQ(vpod::read(d.h, buf, 1, &n), vpod::kOk);
        ASSERT_EQ(vpod::read(d.h, buf, 0, &n), vpod::kOk);
        Dev x("FT000002");
        x.send({0x0A});
    }
    vpod::control::setTraceFile("");
    vpod::control::setVcdFile("");
    EXPECT_EQ(takeFile(trace), "FT000001A W 80 08 0B 4B 04 1F 80 00 09 8E 02 AA 87\nFT000001A R FA\n"
                               "FT000001A R AA\nFT000002 W 0A\n");
    const std::string vcd = takeFile(wave);
    const size_t scope = vcd.find("$scope module FT000001A $end");
    ASSERT_NE(scope, std::string::npos) << vcd;
    // How often the scope's signal, named in "$var wire 1 <id> <name> $end", changes to `level`.
    auto changes = [&](char level, const std::string& name) {
        const size_t at = vcd.find(" " + name + " $end", scope);
        const size_t start = vcd.rfind(' ', at - 1) + 1;
        const std::string line = "\n" + std::string(1, level) + vcd.substr(start, at - start) + "\n";
        size_t n = 0;
        for (size_t pos = vcd.find(line); pos != std::string::npos; pos = vcd.find(line, pos + 1)) ++n;
        return n;
    };
    EXPECT_EQ(changes('1', "TCK"), 8u);
    EXPECT_EQ(changes('1', "SWDIO_DIR"), 1u);
    EXPECT_EQ(changes('0', "SWDIO_DIR"), 1u);
}

}  // namespace
