// The driver seam's providers over the virtual pod: in process, and libdorvane_vpod loaded
// through the d2xx provider as the vendor's library would be.
#include <cstdio>
#include <fstream>

#include "platform/platform.h"
#include "transport/driver_providers.h"
#include "vpod_util.h"

using namespace vpodtest;
using namespace dorvane;
using transport::FtdiDriver;
using transport::FtHandle;

namespace {

void xfer(FtdiDriver& drv, FtHandle h, const Bytes& cmd, const Bytes& expected) {
    uint32_t n = 0;
    ASSERT_EQ(drv.write(h, cmd.data(), static_cast<uint32_t>(cmd.size()), &n), transport::FT_OK);
    ASSERT_EQ(n, cmd.size());
    Bytes got(expected.size());
    ASSERT_EQ(drv.read(h, got.data(), static_cast<uint32_t>(got.size()), &n), transport::FT_OK);
    got.resize(n);
    EXPECT_EQ(got, expected);
}

TEST(Providers, TheInProcessProviderSignalsThePlatformEvent) {
    loadBoard(vpod::control::defaultBoardText());
    std::string name;
    if (!platform::getEnv("DORVANE_DRIVER", name)) {
        EXPECT_EQ(&transport::ftdiDriver(), &transport::driverNamed(transport::defaultDriverName()));
    }
    FtdiDriver& drv = transport::vpodDriver();
    FtHandle h = nullptr;
    ASSERT_EQ(drv.openEx("DV000001A", transport::FT_OPEN_BY_SERIAL_NUMBER, &h), transport::FT_OK);
    char desc[64];
    uint32_t type = 0;
    ASSERT_EQ(drv.getDeviceInfo(h, &type, nullptr, nullptr, desc), transport::FT_OK);
    EXPECT_EQ(type, transport::FT_DEVICE_2232H);
    EXPECT_STREQ(desc, "Dual RS232 A");
    ASSERT_EQ(drv.setBitMode(h, 0, 2), transport::FT_OK);
    platform::Event ev;
    ASSERT_TRUE(ev.valid());
    ASSERT_EQ(drv.setEventNotification(h, transport::FT_EVENT_RXCHAR, &ev), transport::FT_OK);
    EXPECT_EQ(ev.wait(0), 0);
    xfer(drv, h, {0xAA, 0x87}, {0xFA, 0xAA});
    EXPECT_EQ(ev.wait(1000), 1);
    EXPECT_EQ(drv.close(h), transport::FT_OK);
    EXPECT_EQ(drv.close(h), transport::FT_INVALID_HANDLE);
}

TEST(Providers, TheD2xxProviderDrivesLibdorvaneVpodLikeTheVendorsLibrary) {
    std::string lib = std::string(DORVANE_BINARY_DIR) + "/vpod/libdorvane_vpod.so";
    if (!platform::fileExists(lib)) lib = std::string(DORVANE_BINARY_DIR) + "/vpod/dorvane_vpod.dll";
    ASSERT_TRUE(platform::fileExists(lib));
    const std::string board = std::string(DORVANE_BINARY_DIR) + "/vpod_test_board.ini";
    const std::string trace = std::string(DORVANE_BINARY_DIR) + "/vpod_test_d2xx_trace.txt";
    {
        std::ofstream f(board);
        f << "[Device1]\nType=FT2232H\nSerial=FT000001\nChannelA=loopback\nChannelB=loopback\n"
             "[Device2]\nType=FT232H\nSerial=FT000002\n[Device3]\nType=FT4232H\nSerial=FT000003\nBusy=B\n"
             "[Device4]\nType=FT2232C\nSerial=FT000004\n";
    }
    std::remove(trace.c_str());
    ASSERT_TRUE(platform::setEnv("DORVANE_D2XX_LIBRARY", lib.c_str()));
    ASSERT_TRUE(platform::setEnv("DORVANE_VPOD", board.c_str()));
    ASSERT_TRUE(platform::setEnv("DORVANE_VPOD_TRACE", trace.c_str()));
    FtdiDriver& drv = transport::d2xxDriver();

    // Enumeration passes through (its details are the pod's own tests): the count, and a busy
    // channel whose description cannot be read.
    uint32_t count = 0;
    ASSERT_EQ(drv.listDevices(&count, nullptr, transport::FT_LIST_NUMBER_ONLY), transport::FT_OK);
    EXPECT_EQ(count, 9u);
    char buf[64] = {};
    EXPECT_EQ(drv.listDevices(reinterpret_cast<void*>(uintptr_t(4)), buf,
                              transport::FT_LIST_BY_INDEX | transport::FT_OPEN_BY_DESCRIPTION),
              transport::FT_DEVICE_NOT_OPENED);
    ASSERT_EQ(drv.listDevices(reinterpret_cast<void*>(uintptr_t(3)), buf,
                              transport::FT_LIST_BY_INDEX | transport::FT_OPEN_BY_SERIAL_NUMBER),
              transport::FT_OK);
    EXPECT_STREQ(buf, "FT000003A");

    FtHandle a = nullptr, b = nullptr;
    ASSERT_EQ(drv.openEx("FT000001A", transport::FT_OPEN_BY_SERIAL_NUMBER, &a), transport::FT_OK);
    ASSERT_EQ(drv.open(1, &b), transport::FT_OK);
    uint32_t type = 0;
    char serial[32] = {};
    ASSERT_EQ(drv.getDeviceInfo(b, &type, nullptr, serial, nullptr), transport::FT_OK);
    EXPECT_EQ(type, transport::FT_DEVICE_2232H);
    EXPECT_STREQ(serial, "FT000001B");
    for (FtHandle h : {a, b}) {
        ASSERT_EQ(drv.resetDevice(h), transport::FT_OK);
        ASSERT_EQ(drv.purge(h, transport::FT_PURGE_RX | transport::FT_PURGE_TX), transport::FT_OK);
        ASSERT_EQ(drv.setBitMode(h, 0, 0), transport::FT_OK);
        ASSERT_EQ(drv.setBitMode(h, 0x0B, 2), transport::FT_OK);
        ASSERT_EQ(drv.setTimeouts(h, 1000, 1000), transport::FT_OK);
        ASSERT_EQ(drv.setLatencyTimer(h, 2), transport::FT_OK);
    }
    // The event object goes to the library in D2XX's own form and is signalled by it.
    platform::Event ev;
    ASSERT_EQ(drv.setEventNotification(a, transport::FT_EVENT_RXCHAR, &ev), transport::FT_OK);
    xfer(drv, a, {0x80, 0x00, 0x0B, 0x81, 0x87}, {0xF0});   // TDO follows TDI (low) through the loopback
    EXPECT_EQ(ev.wait(1000), 1);
    xfer(drv, a, {0x84, 0xAA, 0x87, 0xAB, 0x87, 0x85}, {0xFA, 0xAA, 0xFA, 0xAB});
    xfer(drv, a, {0x3B, 0x02, 0x05, 0x87}, {0xA0});   // external loopback: 1, 0, 1 in the top bits
    uint32_t queued = 1;
    ASSERT_EQ(drv.getQueueStatus(a, &queued), transport::FT_OK);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(drv.close(a), transport::FT_OK);
    EXPECT_EQ(drv.close(b), transport::FT_OK);
    platform::setEnv("DORVANE_VPOD_TRACE", nullptr);
    platform::setEnv("DORVANE_VPOD", nullptr);

    const std::string t = readFile(trace);
    EXPECT_EQ(t.rfind("FT000001A W 80 00 0B 81 87\nFT000001A R F0\nFT000001A W 84 AA 87 AB 87 85\n"
                      "FT000001A R FA AA FA AB\nFT000001A W 3B 02 05 87\nFT000001A R A0\n",
                      0),
              0u)
        << t;
    std::remove(trace.c_str());
    std::remove(board.c_str());
}

}  // namespace
