// Opening, closing and resetting controllers: the bytes of the start-up, device selection,
// and the failures of each step.

#include <thread>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

// Address forms the virtual pod's board cannot show: a description after the unit, a serial
// number whose description differs, and a chip type the library does not drive.
TEST_F(FakeTransport, AddressFormsAndUnsupportedChips) {
    drv.addDual("AA", "Other", FT_DEVICE_2232H);        // 0,1: never matches
    drv.addDual("EE", "My Board", FT_DEVICE_4232H);     // 2,3
    drv.add("RR", "Dual RS232", FT_DEVICE_232R);        // 4
    uint32_t h = open("USB0,My Board");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(drv.chip(2).open);
    close(h);
    struct Case { const char* address; uint32_t code; };
    for (const Case& c : {Case{"USBSEE", err::SERIAL_NOT_FOUND}, Case{"USB", err::UNSUPPORTED_DEVICE}}) {
        EXPECT_EQ(x_openKpx(&h, c.address), 1u);
        EXPECT_EQ(globalLastError(), c.code) << c.address;
        EXPECT_EQ(h, 0xFFFFFFFFu);
    }
    for (size_t i = 0; i < drv.chips.size(); ++i) EXPECT_FALSE(drv.chip(i).open) << i;
}

TEST_F(FakeTransport, QueriesCheckTheirArguments) {
    drv.addDual("FK08", "Dual RS232", FT_DEVICE_2232H);
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    uint32_t v = 0;
    EXPECT_EQ(x_kpxGetTapType(h, 1, &v), 0u);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(x_kpxGetTapType(h, 2, nullptr), 1u);
    EXPECT_EQ(x_kpxErrorNbr(h), 22) << "the TAP id is checked before the pointer";
    EXPECT_EQ(x_kpxGetInterfaceType(h, nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(x_kpxErrorNbr(h), 321);
    EXPECT_EQ(x_kpxGetControllerInfo(h, nullptr), 1u);
    EXPECT_EQ(x_kpxGetPodType(h, nullptr), 1u);
}

}  // namespace

namespace {

// A receive thread that never comes back from the driver: close gives up after ten seconds,
// still frees the device and the handle, and the thread ends once the driver lets it go.
TEST_F(FakeTransport, CloseTimesOutOnAReceiveThreadStuckInTheDriver) {
    drv.addDual("ST01", "Dual RS232", FT_DEVICE_2232H);
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    drv.with(0, [](fake::Chip& c) { c.holdQueueStatus = true; });
    drv.push(0, {});   // wakes the thread into the held call
    drv.waitFor(0, [](fake::Chip& c) { return c.heldCalls > 0; });
    // Close purges the receive side once it has given up on the thread: then let the call return.
    std::thread driverLetsGo([this] {
        drv.waitFor(0, [](fake::Chip& c) { return c.purgesWhileHeld > 0; });
        drv.with(0, [](fake::Chip& c) { c.holdQueueStatus = false; });
    });
    const uint32_t start = platform::millisecondTimer();
    EXPECT_EQ(close(h), 1u);
    EXPECT_GE(platform::millisecondTimer() - start, 10000u);
    driverLetsGo.join();
    EXPECT_EQ(globalLastError(), uint32_t(err::CONTROLLER_TIMEOUT));
    EXPECT_FALSE(drv.chip(0).open);
    uint32_t v = 0;
    EXPECT_EQ(x_kpxGetControllerType(h, &v), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::INVALID_KPX_HANDLE));
}

}  // namespace
