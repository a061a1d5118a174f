// The command queue's write pieces, unbuffered and buffered (the virtual pod sees only bytes).
// A short write and a close with buffering on are checked against the virtual pod.
#include <numeric>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

class Queue : public FakeTransport {
protected:
    void SetUp() override {
        FakeTransport::SetUp();
        drv.addDual("QQ01", "Dual RS232", FT_DEVICE_2232H);
        h = open();
        ASSERT_NE(h, 0xFFFFFFFFu);
        drv.with(0, [](fake::Chip& c) { c.scriptedOnly = true; });
        drv.clearTrace(0);
    }
    uint32_t h = 0;
};

Bytes filler(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t(1));
    return b;
}

TEST_F(Queue, UnbufferedWritesGoOutInPiecesOf4096) {
    auto ctx = locked(h);
    const Bytes b = filler(9000);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 9000, 3), 0u);
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{4096, 4096, 808}));
    EXPECT_EQ(drv.written(0), b);
    EXPECT_EQ(transportOf(ctx).pendingReadBytes, 3u);
}

TEST_F(Queue, BufferedWritesOnlyFullPieces) {
    auto ctx = locked(h);
    ASSERT_EQ(enableBuffering(ctx.get(), 1), 0u);
    const Bytes b = filler(1500);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 1), 0u);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 1), 0u);
    EXPECT_TRUE(drv.writeSizes(0).empty());
    EXPECT_EQ(transportOf(ctx).commandBufferLength, 3000u);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 1), 0u);
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{4096}));
    EXPECT_EQ(transportOf(ctx).commandBufferLength, 404u);
    EXPECT_EQ(transportOf(ctx).pendingReadBytes, 3u);
    Bytes expect;
    for (int i = 0; i < 3; ++i) expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(drv.written(0), Bytes(expect.begin(), expect.begin() + 4096));
    EXPECT_EQ(Bytes(transportOf(ctx).commandBuffer, transportOf(ctx).commandBuffer + 404), Bytes(expect.begin() + 4096, expect.end()));

    // A large call on an empty buffer writes straight from the caller's bytes.
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_DISCARD), 0u);
    drv.clearTrace(0);
    const Bytes big = filler(10000);
    ASSERT_EQ(queueCommands(ctx.get(), big.data(), 10000, 0), 0u);
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(transportOf(ctx).commandBufferLength, 1808u);
    EXPECT_EQ(Bytes(transportOf(ctx).commandBuffer, transportOf(ctx).commandBuffer + 1808), Bytes(big.begin() + 8192, big.end()));
    EXPECT_EQ(disableBuffering(ctx.get()), 0u) << "setupFlags 0: nothing to flush";
    EXPECT_EQ(transportOf(ctx).commandBuffer, nullptr);
}

}  // namespace
