// Several controllers and several threads.
#include <thread>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

// One GPIO round trip as an unbuffered operation: set the low byte, read it back, wait.
bool roundTrip(uint32_t h, uint8_t v) {
    Locked ctx(h);
    if (!ctx) return false;
    uint8_t tdo = uint8_t(~v);
    ResultRecord* r = newResultRecord(ctx.get());
    if (!r) return false;
    r->bitCount = 8;
    r->lastBitPosition = 7;
    r->tdoBytes = &tdo;
    const uint8_t cmd[5] = {0x80, v, 0x0B, 0x81, 0x87};
    if (queueCommands(ctx.get(), cmd, 5, 1) || waitForResults(ctx.get(), WAIT_ALL)) return false;
    return tdo == v;
}

TEST_F(FakeTransport, SeventeenControllersOpenAtOnce) {
    for (int i = 0; i < 17; ++i) drv.addDual("M" + std::to_string(i), "Dual RS232", FT_DEVICE_2232H);
    std::vector<uint32_t> handles;
    for (int i = 0; i < 17; ++i) {
        const uint32_t h = open("USB");
        ASSERT_NE(h, 0xFFFFFFFFu) << i;
        handles.push_back(h);
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
    for (uint32_t h : handles) EXPECT_TRUE(roundTrip(h, uint8_t(h)));
    for (int i = 0; i < 17; ++i) EXPECT_TRUE(drv.chip(size_t(2 * i)).open);
}

TEST_F(FakeTransport, BusyHandleFailsWith2001WithoutTouchingTheContext) {
    drv.addDual("T3", "Dual RS232", FT_DEVICE_2232H);
    const uint32_t h = open();
    ASSERT_NE(h, 0xFFFFFFFFu);
    Locked held(h);
    ASSERT_TRUE(held);
    uint32_t rc = 0, code = 0;
    std::thread other([&] {
        uint32_t v = 0;
        rc = x_kpxGetControllerType(h, &v);
        code = globalLastError();
    });
    other.join();
    EXPECT_EQ(rc, 1u);
    EXPECT_EQ(code, uint32_t(err::HANDLE_IN_USE));
    EXPECT_EQ(held->lastError, 0u);
}

}  // namespace
