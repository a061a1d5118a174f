// The d2xx provider of the driver seam loading libdorvane_vpod as the vendor's library would be.
// The in-process provider passes every call straight to the pod: every transport test runs on it.
#include <cstdio>
#include <fstream>

#include "platform/platform.h"
#include "transport/driver_providers.h"
#include "vpod_util.h"

using namespace vpodtest;
using namespace dorvane;
using namespace dorvane::transport;

namespace {

void xfer(FtdiDriver& drv, FtHandle h, const Bytes& cmd, const Bytes& expected) {
    uint32_t n = 0;
    ASSERT_EQ(drv.write(h, cmd.data(), static_cast<uint32_t>(cmd.size()), &n), FT_OK);
    ASSERT_EQ(n, cmd.size());
    Bytes got(expected.size());
    ASSERT_EQ(drv.read(h, got.data(), static_cast<uint32_t>(got.size()), &n), FT_OK);
    got.resize(n);
    EXPECT_EQ(got, expected);
}

TEST(Providers, TheD2xxProviderDrivesLibdorvaneVpodLikeTheVendorsLibrary) {
    std::string lib = std::string(DORVANE_BINARY_DIR) + "/vpod/libdorvane_vpod.so";
    if (!platform::fileExists(lib)) lib = std::string(DORVANE_BINARY_DIR) + "/vpod/dorvane_vpod.dll";
    ASSERT_TRUE(platform::fileExists(lib));
    const std::string board = std::string(DORVANE_BINARY_DIR) + "/vpod_test_board.ini";
    const std::string trace = std::string(DORVANE_BINARY_DIR) + "/vpod_test_d2xx_trace.txt";
    std::ofstream(board) << "[Device1]\nType=FT2232H\nSerial=FT000001\nChannelA=loopback\nChannelB=loopback\n"
                            "[Device2]\nType=FT4232H\nSerial=FT000003\nBusy=B\n";
    std::remove(trace.c_str());
    ASSERT_TRUE(platform::setEnv("DORVANE_D2XX_LIBRARY", lib.c_str()));
    ASSERT_TRUE(platform::setEnv("DORVANE_VPOD", board.c_str()));
    ASSERT_TRUE(platform::setEnv("DORVANE_VPOD_TRACE", trace.c_str()));
    FtdiDriver& drv = d2xxDriver();

    // The library reads the board the environment names; its status codes pass through.
    uint32_t count = 0;
    ASSERT_EQ(drv.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 6u);
    char buf[64] = {};
    EXPECT_EQ(drv.listDevices(reinterpret_cast<void*>(uintptr_t(3)), buf, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
              FT_DEVICE_NOT_OPENED);

    FtHandle a = nullptr, b = nullptr;
    ASSERT_EQ(drv.openEx("FT000001A", FT_OPEN_BY_SERIAL_NUMBER, &a), FT_OK);
    ASSERT_EQ(drv.open(1, &b), FT_OK);
    uint32_t type = 0;
    char serial[32] = {};
    ASSERT_EQ(drv.getDeviceInfo(b, &type, nullptr, serial, nullptr), FT_OK);
    EXPECT_EQ(type, FT_DEVICE_2232H);
    EXPECT_STREQ(serial, "FT000001B");
    for (FtHandle h : {a, b}) {
        ASSERT_EQ(drv.resetDevice(h), FT_OK);
        ASSERT_EQ(drv.purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
        ASSERT_EQ(drv.setBitMode(h, 0, 0), FT_OK);
        ASSERT_EQ(drv.setBitMode(h, 0x0B, 2), FT_OK);
        ASSERT_EQ(drv.setTimeouts(h, 1000, 1000), FT_OK);
        ASSERT_EQ(drv.setLatencyTimer(h, 2), FT_OK);
    }
    // The event object goes to the library in D2XX's own form and is signalled by it.
    platform::Event ev;
    ASSERT_EQ(drv.setEventNotification(a, FT_EVENT_RXCHAR, &ev), FT_OK);
    EXPECT_EQ(ev.wait(0), 0);
    xfer(drv, a, {0x80, 0x00, 0x0B, 0x81, 0x87}, {0xF0});   // TDO follows TDI (low) through the loopback
    EXPECT_EQ(ev.wait(1000), 1);
    uint32_t queued = 1;
    ASSERT_EQ(drv.getQueueStatus(a, &queued), FT_OK);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(drv.close(a), FT_OK);
    EXPECT_EQ(drv.close(b), FT_OK);
    EXPECT_EQ(drv.close(a), FT_INVALID_HANDLE);
    platform::setEnv("DORVANE_VPOD_TRACE", nullptr);
    platform::setEnv("DORVANE_VPOD", nullptr);

    EXPECT_EQ(readFile(trace).rfind("FT000001A W 80 00 0B 81 87\nFT000001A R F0\n", 0), 0u) << readFile(trace);
    std::remove(trace.c_str());
    std::remove(board.c_str());
}

}  // namespace
