// Opening and closing controllers: address forms, unsupported chips, argument checks of the
// queries, and a close that gives up on a receive thread stuck in the driver.
#include <thread>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

TEST_F(TransportTest, AddressFormsAndUnsupportedChips) {
    board("[Device1]\nType=FT2232H\nSerial=AA\nDescription=Other\nChannelA=loopback\n"
          "[Device2]\nType=FT4232H\nSerial=EE\nDescription=My Board\nChannelA=loopback\n"
          "[Device3]\nType=FT2232H\nSerial=RR\nDescription=Dual RS232\nChannelA=loopback\n");
    uint32_t h = open("USB0,My Board");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(vc::isOpen("EEA"));
    close(h);
    spy.chipType = FT_DEVICE_232R;   // a chip the library does not drive
    struct Case { const char* address; uint32_t code; };
    for (const Case& c : {Case{"USBSEE", err::SERIAL_NOT_FOUND}, Case{"USB", err::UNSUPPORTED_DEVICE}}) {
        EXPECT_EQ(x_openKpx(&h, c.address), 1u);
        EXPECT_EQ(globalLastError(), c.code) << c.address;
        EXPECT_EQ(h, 0xFFFFFFFFu);
    }
    for (const std::string& i : vc::interfaces()) EXPECT_FALSE(vc::isOpen(i)) << i;
}

TEST_F(TransportTest, QueriesCheckTheirArguments) {
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    uint32_t v = 0;
    EXPECT_EQ(x_kpxGetTapType(h, 1, &v), 0u);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(x_kpxGetTapType(h, 2, nullptr), 1u);
    EXPECT_EQ(lastErrorFor(h), uint32_t(err::ILLEGAL_TAP_ID)) << "the TAP id is checked before the pointer";
    EXPECT_EQ(x_kpxGetInterfaceType(h, nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(lastErrorFor(h), uint32_t(err::NULL_POINTER));
    EXPECT_EQ(x_kpxGetControllerInfo(h, nullptr), 1u);
    EXPECT_EQ(lastErrorFor(h), uint32_t(err::NULL_POINTER));
    EXPECT_EQ(x_kpxGetPodType(h, nullptr), 1u);
    EXPECT_EQ(lastErrorFor(h), uint32_t(err::NULL_POINTER));
}

// A receive thread that never comes back from the driver: close gives up after ten seconds,
// still frees the device and the handle, and the thread ends once the driver lets it go.
TEST_F(TransportTest, CloseTimesOutOnAReceiveThreadStuckInTheDriver) {
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    spy.with([this] { spy.holdQueueStatus = true; });
    ASSERT_TRUE(vc::strayBytes("DV000001A", {0x55}));   // wakes the thread into the held call
    spy.waitFor([this] { return spy.heldCalls > 0; });
    // Close purges the receive side (the stray byte too) once it has given up on the thread:
    // then let the call return.
    std::thread driverLetsGo([this] {
        spy.waitFor([this] { return spy.purgesWhileHeld > 0; });
        spy.with([this] { spy.holdQueueStatus = false; });
    });
    const uint32_t start = platform::millisecondTimer();
    EXPECT_EQ(close(h), 1u);
    EXPECT_GE(platform::millisecondTimer() - start, 10000u);
    driverLetsGo.join();
    EXPECT_EQ(globalLastError(), uint32_t(err::CONTROLLER_TIMEOUT));
    EXPECT_FALSE(vc::isOpen("DV000001A"));
    uint32_t v = 0;
    EXPECT_EQ(x_kpxGetControllerType(h, &v), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::INVALID_KPX_HANDLE));
}

}  // namespace
