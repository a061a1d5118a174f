// The command queue's pieces and read-back limit, and scan buffering.
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
    Locked ctx(h);
    const Bytes b = filler(9000);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 9000, 3), 0u);
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{4096, 4096, 808}));
    EXPECT_EQ(drv.written(0), b);
    EXPECT_EQ(ctx->pendingReadBytes, 3u);
}

TEST_F(Queue, BufferedWritesOnlyFullPieces) {
    Locked ctx(h);
    ASSERT_EQ(enableBuffering(ctx.get(), 1), 0u);
    const Bytes b = filler(1500);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 1), 0u);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 1), 0u);
    EXPECT_TRUE(drv.writeSizes(0).empty());
    EXPECT_EQ(ctx->commandBufferLength, 3000u);
    ASSERT_EQ(queueCommands(ctx.get(), b.data(), 1500, 1), 0u);
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{4096}));
    EXPECT_EQ(ctx->commandBufferLength, 404u);
    EXPECT_EQ(ctx->pendingReadBytes, 3u);
    Bytes expect;
    for (int i = 0; i < 3; ++i) expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(drv.written(0), Bytes(expect.begin(), expect.begin() + 4096));
    EXPECT_EQ(Bytes(ctx->commandBuffer, ctx->commandBuffer + 404), Bytes(expect.begin() + 4096, expect.end()));

    // A large call on an empty buffer writes straight from the caller's bytes.
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_DISCARD), 0u);
    drv.clearTrace(0);
    const Bytes big = filler(10000);
    ASSERT_EQ(queueCommands(ctx.get(), big.data(), 10000, 0), 0u);
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(ctx->commandBufferLength, 1808u);
    EXPECT_EQ(Bytes(ctx->commandBuffer, ctx->commandBuffer + 1808), Bytes(big.begin() + 8192, big.end()));
    EXPECT_EQ(disableBuffering(ctx.get()), 0u) << "setupFlags 0: nothing to flush";
    EXPECT_EQ(ctx->commandBuffer, nullptr);
}

TEST_F(Queue, ShortWriteFailsAtOnce) {
    Locked ctx(h);
    drv.with(0, [](fake::Chip& c) { c.shortWrites = 1; c.shortAccept = 2; });
    const Bytes b = filler(5);
    EXPECT_EQ(queueCommands(ctx.get(), b.data(), 5, 0), 1u);
    EXPECT_EQ(ctx->lastError, uint32_t(err::WRITE_TIMEOUT));
    EXPECT_EQ(drv.writeSizes(0), (std::vector<uint32_t>{2})) << "nothing is retried";
}

class Buffering : public FakeTransport {
protected:
    void SetUp() override {
        FakeTransport::SetUp();
        drv.addDual("BF01", "Dual RS232", FT_DEVICE_2232H);
        h = open();
        ASSERT_NE(h, 0xFFFFFFFFu);
        Locked ctx(h);
        ASSERT_EQ(ensureControllerReady(ctx.get()), 0u);
        drv.clearTrace(0);
    }
    // A GPIO read as a scan would queue it: set the low byte to v, read it back.
    void queueRead(KpxContext* ctx, uint8_t v, uint8_t* tdo) {
        ResultRecord* r = newResultRecord(ctx);
        ASSERT_NE(r, nullptr);
        r->bitCount = 8;
        r->lastBitPosition = 7;
        r->tdoBytes = tdo;
        const uint8_t cmd[4] = {0x80, v, 0x0B, 0x81};
        ASSERT_EQ(queueCommands(ctx, cmd, 4, 1), 0u);
    }
    uint32_t h = 0;
};

TEST_F(Buffering, TypesSwitchFlushDiscardAndSend) {
    EXPECT_EQ(x_scanSetBuffering(h, 0), 0u) << "off stays off";
    EXPECT_EQ(x_scanSetBuffering(h, 2), 0u);
    EXPECT_EQ(x_scanSetBuffering(h, 128), 0xFFFFFFFFu);
    for (uint32_t bad : {5u, 8u, 10u, 127u, 129u}) {
        EXPECT_EQ(x_scanSetBuffering(h, bad), 1u);
        EXPECT_EQ(globalLastError(), uint32_t(err::INVALID_BUFFERING));
    }
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 1), 0u);
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    {
        Locked ctx(h);
        EXPECT_EQ(ctx->bufferingType, 9u);
    }
    EXPECT_TRUE(drv.written(0).empty());

    // Deferred results: nothing leaves until the flush, and then every answer is there.
    uint8_t tdo[3] = {};
    {
        Locked ctx(h);
        for (uint8_t i = 0; i < 3; ++i) queueRead(ctx.get(), uint8_t(0x10 + i), &tdo[i]);
    }
    EXPECT_TRUE(drv.written(0).empty());
    EXPECT_EQ(tdo[0], 0);
    ASSERT_EQ(x_scanSetBuffering(h, 2), 0u);
    EXPECT_EQ(tdo[0], 0x10);
    EXPECT_EQ(tdo[2], 0x12);
    const Bytes w = drv.written(0);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(Bytes(w.end() - 2, w.end()), (Bytes{0x83, 0x87})) << "the flush ends with the closing read";
    EXPECT_EQ(x_scanSetBuffering(h, 2), 0u) << "nothing held back: returns at once";

    // Discard: the held-back bytes never go out and the results never arrive.
    drv.clearTrace(0);
    uint8_t dropped = 0xEE;
    {
        Locked ctx(h);
        queueRead(ctx.get(), 0x33, &dropped);
    }
    ASSERT_EQ(x_scanSetBuffering(h, 3), 0u);
    EXPECT_TRUE(drv.written(0).empty());
    {
        Locked ctx(h);
        EXPECT_EQ(ctx->commandBufferLength, 0u);
        EXPECT_EQ(ctx->pendingReadBytes, 0u);
    }
    EXPECT_EQ(dropped, 0xEE);

    // Send: written without waiting; the answer arrives on its own.
    uint8_t sent = 0;
    {
        Locked ctx(h);
        queueRead(ctx.get(), 0x44, &sent);
    }
    ASSERT_EQ(x_scanSetBuffering(h, 4), 0u);
    EXPECT_EQ(drv.written(0), (Bytes{0x80, 0x44, 0x0B, 0x81}));
    ASSERT_EQ(x_scanSetBuffering(h, 0), 0u);
    {
        Locked ctx(h);
        ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
        EXPECT_EQ(ctx->bufferingType, 0u);
        EXPECT_EQ(ctx->commandBuffer, nullptr);
    }
    EXPECT_EQ(sent, 0x44);
}

TEST_F(Buffering, CloseWithBufferingOnDeliversWhatIsHeldBack) {
    ASSERT_EQ(x_scanSetBuffering(h, 9), 0u);
    uint8_t tdo = 0;
    {
        Locked ctx(h);
        queueRead(ctx.get(), 0x5A, &tdo);
    }
    EXPECT_EQ(close(h), 0u);
    EXPECT_EQ(tdo, 0x5A);
    const Bytes w = drv.written(0);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 6), (Bytes{0x80, 0x5A, 0x0B, 0x81, 0x83, 0x87}));
}

TEST_F(Buffering, StoppedThreadRefusesEveryType) {
    drv.push(0, {0x99});   // a stray byte ends the receive thread
    for (;;) {
        if (x_scanSetBuffering(h, 1) == 1) break;
        platform::yieldProcessor();
    }
    EXPECT_EQ(globalLastError(), uint32_t(err::RX_THREAD_NOT_RUNNING));
    EXPECT_EQ(x_scanSetBuffering(h, 128), 1u);
}

}  // namespace
