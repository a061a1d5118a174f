// Opening, closing and resetting controllers: the bytes of the start-up, device selection,
// and the failures of each step.

#include <thread>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

TEST_F(FakeTransport, FirstOperationSendsDivisorThenPinsOnceOnly) {
    drv.addDual("FK01", "Dual RS232", FT_DEVICE_2232H);
    drv.addDual("FK03", "Dual RS232", FT_DEVICE_2232C);   // the 6 MHz chip: no divide-by-5 switch
    struct Case { const char* address; int32_t maxTck; Bytes bytes; };
    const Case cases[] = {
        {"USBSFK01", 30000, {0x86, 0x04, 0x00, 0x8A, 0x83, 0x87, 0x80, 0x0A, 0x0B, 0x82, 0x00, 0x00}},
        {"USBSFK03", 6000, {0x86, 0x00, 0x00, 0x83, 0x87, 0x80, 0x0A, 0x0B, 0x82, 0x00, 0x00}},
    };
    for (size_t i = 0; i < 2; ++i) {
        const uint32_t h = open(cases[i].address);
        ASSERT_NE(h, 0xFFFFFFFFu);
        // The start-up goes out as pins + read, loopback on, two bad commands, loopback off.
        EXPECT_EQ(drv.writeSizes(2 * i), (std::vector<uint32_t>{5, 1, 2, 2, 1}));
        EXPECT_FALSE(drv.chip(2 * i + 1).open);
        drv.clearTrace(2 * i);
        {
            Locked ctx(h);
            EXPECT_EQ(ctx->receiveThreadState, ReceiveThreadState::Running);
            EXPECT_EQ(ctx->maxTckKHz, cases[i].maxTck);
            EXPECT_STREQ(ctx->serialNumber, cases[i].address + 4);
            EXPECT_STREQ(ctx->controllerAddress, (std::string(cases[i].address) + ",Dual RS232 A").c_str());
            ASSERT_EQ(ensureControllerReady(ctx.get()), 0u);
            EXPECT_EQ(ensureControllerReady(ctx.get()), 0u);   // nothing more the second time
            EXPECT_EQ(ctx->effectiveLowDirection, 0x0B);
        }
        EXPECT_EQ(drv.written(2 * i), cases[i].bytes);
    }
}

TEST_F(FakeTransport, DivisorValuesOnBothClockBases) {
    drv.addDual("FK04", "Dual RS232", FT_DEVICE_2232H);
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    Locked ctx(h);
    struct Case { uint32_t base, want; Bytes bytes; uint32_t got; };
    const Case cases[] = {
        {6000, 4000, {0x86, 0x01, 0x00}, 3000}, {6000, 2500, {0x86, 0x02, 0x00}, 2000},
        {6000, 7, {0x86, 0x59, 0x03}, 7},       {6000, 9000, {0x86, 0x00, 0x00}, 6000},
        {30000, 4000, {0x86, 0x07, 0x00, 0x8A}, 3750}, {30000, 10000, {0x86, 0x02, 0x00, 0x8A}, 10000},
        {30000, 1, {0x86, 0x2F, 0x75, 0x8A}, 1},       {30000, 50000, {0x86, 0x00, 0x00, 0x8A}, 30000},
    };
    drv.clearTrace(0);
    for (const Case& c : cases) {
        ctx->baseClockKHz = c.base;
        ctx->maxTckKHz = int32_t(c.base);
        ctx->setupFlags = 0;
        uint8_t out[4] = {};
        const uint32_t n = emitClockDivisor(ctx.get(), c.want, 1, out);
        EXPECT_EQ(Bytes(out, out + n), c.bytes) << c.base << " " << c.want;
        EXPECT_EQ(ctx->tckKHz, c.got);
        EXPECT_EQ(ctx->controllerInfo.tckKHz, c.got);
        EXPECT_EQ(ctx->setupFlags, uint32_t(SETUP_DIVISOR_SENT));
    }
    uint8_t out[4] = {};
    ctx->setupFlags = 0;
    emitClockDivisor(ctx.get(), 100, 0, out);
    EXPECT_EQ(ctx->setupFlags, 0u);
    EXPECT_TRUE(drv.written(0).empty()) << "an out buffer sends nothing";
}

TEST_F(FakeTransport, AddressFormsSelectTheRightDevice) {
    drv.addDual("AA", "Other", FT_DEVICE_2232H);        // 0,1: never matches
    drv.addDual("BB", "Dual RS232", FT_DEVICE_2232H);   // 2,3: logical unit 0
    drv.addDual("CC", "Dual RS232", FT_DEVICE_2232H);   // 4,5: logical unit 1
    drv.add("DD", "Single RS232-HS", FT_DEVICE_232H);   // 6
    drv.addDual("EE", "My Board", FT_DEVICE_4232H);     // 7,8

    uint32_t h = open("USB1");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(drv.chip(4).open);
    uint32_t lun = 9, type = 0, third = 0;
    EXPECT_EQ(x_kpxGetInterfaceType(h, &type, &lun, &third), 0u);
    EXPECT_EQ(lun, 1u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(third, 0xFFFFFFFFu);
    close(h);

    // Unit 2 does not exist among the matching devices even though more devices are attached.
    uint32_t bad = 0;
    EXPECT_EQ(x_openKpx(&bad, "USB2"), 1u);
    EXPECT_EQ(bad, 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::LUN_NOT_FOUND));

    h = open("USBSCC");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(drv.chip(4).open);
    EXPECT_EQ(x_kpxGetInterfaceType(h, nullptr, &lun, nullptr), 0u);
    EXPECT_EQ(lun, 0u) << "opened directly by serial number";
    close(h);

    h = open("USB0,My Board");
    ASSERT_NE(h, 0xFFFFFFFFu);
    EXPECT_TRUE(drv.chip(7).open);
    close(h);

    // Serial number of a device whose description differs: closed, then not found by enumeration.
    EXPECT_EQ(x_openKpx(&bad, "USBSEE"), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::SERIAL_NOT_FOUND));
    EXPECT_FALSE(drv.chip(7).open);

    EXPECT_EQ(x_openKpx(&bad, "USBSZZ"), 1u);
    EXPECT_EQ(globalLastError(), 30013u) << "no device answers to that serial number at all";
    EXPECT_EQ(x_openKpx(nullptr, "USB"), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::NULL_POINTER));
    EXPECT_EQ(x_openKpx(&bad, nullptr), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::NULL_POINTER));
    for (size_t i = 0; i < drv.chips.size(); ++i) EXPECT_FALSE(drv.chip(i).open) << i;
}

TEST_F(FakeTransport, UnsupportedTypeFoundByEnumerationIsRefused) {
    drv.add("RR", "Dual RS232", FT_DEVICE_232R);
    uint32_t h = 0;
    EXPECT_EQ(x_openKpx(&h, "USB"), 1u);
    EXPECT_EQ(globalLastError(), uint32_t(err::UNSUPPORTED_DEVICE));
    EXPECT_FALSE(drv.chip(0).open);
    EXPECT_EQ(h, 0xFFFFFFFFu);
}

TEST_F(FakeTransport, BrokenEchoFailsSynchronisationAndLeavesNothingOpen) {
    drv.addDual("FK06", "Dual RS232", FT_DEVICE_2232H);
    drv.with(0, [](fake::Chip& c) { c.brokenEcho = true; });
    EXPECT_EQ(open(), 0xFFFFFFFFu);
    EXPECT_EQ(globalLastError(), uint32_t(err::SYNC_FAILURE));
    EXPECT_EQ(drv.written(0).back(), 0x85) << "loopback is switched off after the failure";
    EXPECT_FALSE(drv.chip(0).open);
    EXPECT_EQ(x_kpxErrorNbr(0), 308);
}

TEST_F(FakeTransport, ControllerResetRestartsAndSendsTheSetUpAgain) {
    drv.addDual("FK07", "Dual RS232", FT_DEVICE_2232H);
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    {
        Locked ctx(h);
        ASSERT_EQ(ensureControllerReady(ctx.get()), 0u);
    }
    drv.clearTrace(0);
    ASSERT_EQ(x_kpxResetController(h), 0u);
    Bytes again = kOpenBytes;
    again[2] = 0x0B;   // the pins keep the directions the set-up gave them
    EXPECT_EQ(drv.written(0), again);
    Locked ctx(h);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->setupFlags, 0u);
}

TEST_F(FakeTransport, QueriesAndTheControllerInformationRecord) {
    drv.addDual("FK08", "Dual RS232", FT_DEVICE_2232H);
    const uint32_t h = open("USBSFK08");
    ASSERT_NE(h, 0xFFFFFFFFu);
    const DorvaneControllerInfo* info = nullptr;
    ASSERT_EQ(x_kpxGetControllerInfo(h, &info), 0u);
    const auto* w = reinterpret_cast<const uint32_t*>(info);
    EXPECT_EQ(w[0], 0x80671C0Fu);
    EXPECT_EQ(info->controllerType, 9u);
    EXPECT_EQ(info->maxTckKHz, 30000);
    EXPECT_EQ(info->tckKHz, 6000u);
    EXPECT_EQ(info->capabilities, 0x80Au);
    EXPECT_STREQ(info->serialNumber, "FK08");
    EXPECT_NE(info->pair60, info->pair64) << "every pair is its own object";
    {
        Locked ctx(h);
        emitClockDivisor(ctx.get(), 10000, 1, nullptr);
    }
    EXPECT_EQ(info->tckKHz, 10000u) << "the record is a live view";

    uint32_t v = 0;
    EXPECT_EQ(x_kpxGetControllerType(h, &v), 0u);
    EXPECT_EQ(v, 9u);
    EXPECT_EQ(x_kpxGetPodType(h, &v), 0u);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(x_kpxGetTapType(h, 1, &v), 0u);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(x_kpxGetTapType(h, 2, nullptr), 1u);
    EXPECT_EQ(x_kpxErrorNbr(h), 22) << "the TAP id is checked before the pointer";
    EXPECT_EQ(x_kpxGetInterfaceType(h, nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(x_kpxErrorNbr(h), 321);
    EXPECT_EQ(x_kpxGetControllerInfo(h, nullptr), 1u);
    EXPECT_EQ(x_kpxGetPodType(h, nullptr), 1u);
    EXPECT_EQ(x_kpxGetControllerType(h, nullptr), 1u);
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
