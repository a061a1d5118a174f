// The command queue's write pieces, unbuffered and buffered, as the driver sees them.
#include <random>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

class Queue : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        h = open();
        ASSERT_NE(h, 0xFFFFFFFFu);
        ASSERT_TRUE(vc::recordTraffic("DV000001A", true));
        vc::clearTraffic("DV000001A");
        spy.with([this] { spy.writeSizes.clear(); });
    }
    // Settings commands the chip answers with nothing, in an order a misplaced piece would break.
    static Bytes filler(size_t n, unsigned seed) {
        static const uint8_t ops[] = {0x8A, 0x8B, 0x8C, 0x8D, 0x97};
        std::mt19937 rng(seed);
        Bytes b(n);
        for (auto& x : b) x = ops[rng() % 5];
        return b;
    }
    std::vector<uint32_t> sizes() { std::lock_guard g(spy.m); return spy.writeSizes; }
    uint32_t h = 0;
};

TEST_F(Queue, UnbufferedWritesGoOutInPiecesOf4096) {
    auto ctx = locked(h);
    const Bytes b = filler(9000, 1);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 9000, 0), 0u);
    EXPECT_EQ(sizes(), (std::vector<uint32_t>{4096, 4096, 808}));
    EXPECT_EQ(written("DV000001A"), b);
}

TEST_F(Queue, BufferedWritesOnlyFullPieces) {
    auto ctx = locked(h);
    ASSERT_EQ(enableBuffering(ctx.get(), 1), 0u);
    const Bytes b = filler(1500, 2);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 0), 0u);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 0), 0u);
    EXPECT_TRUE(sizes().empty());
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 0), 0u);
    EXPECT_EQ(sizes(), (std::vector<uint32_t>{4096}));
    Bytes expect;
    for (int i = 0; i < 3; ++i) expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(written("DV000001A"), Bytes(expect.begin(), expect.begin() + 4096));
    EXPECT_EQ(Bytes(transportOf(ctx).commandBuffer, transportOf(ctx).commandBuffer + 404), Bytes(expect.begin() + 4096, expect.end()));

    // A large call on an empty buffer writes straight from the caller's bytes.
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_DISCARD), 0u);
    spy.with([this] { spy.writeSizes.clear(); });
    const Bytes big = filler(10000, 3);
    ASSERT_EQ(queueCommands(ctx.get(), big.data(), 10000, 0), 0u);
    EXPECT_EQ(sizes(), (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(transportOf(ctx).commandBufferLength, 1808u);
    EXPECT_EQ(Bytes(transportOf(ctx).commandBuffer, transportOf(ctx).commandBuffer + 1808), Bytes(big.begin() + 8192, big.end()));
    EXPECT_EQ(disableBuffering(ctx.get()), 0u) << "setupFlags 0: nothing to flush";
    EXPECT_EQ(transportOf(ctx).commandBuffer, nullptr);
}

}  // namespace
