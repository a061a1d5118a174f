// The receive side: bit reassembly, comparison, block bookkeeping and the errors the
// receive thread posts.
#include <random>

#include "fixture.h"

using namespace dorvane;
using namespace dorvane::transport;

namespace {

class Results : public FakeTransport {
protected:
    void SetUp() override {
        FakeTransport::SetUp();
        drv.addDual("RS01", "Dual RS232", FT_DEVICE_2232H);
        h = open();
        ASSERT_NE(h, 0xFFFFFFFFu);
        drv.with(0, [](fake::Chip& c) { c.scriptedOnly = true; });
    }
    // The answer bytes a chip sends for n bits LSB first: whole bytes, then the remaining
    // bits at the top of one byte; with a separate last bit, that bit in bit 7 of its own byte.
    static Bytes answer(const Bytes& bits, uint32_t n, bool separate) {
        const uint32_t data = separate ? n - 1 : n;
        Bytes out((data + 7) / 8, 0);
        for (uint32_t k = 0; k < data; ++k) {
            const uint32_t bit = (bits[k / 8] >> (k % 8)) & 1;
            const uint32_t byte = k / 8;
            const uint32_t inByte = data - byte * 8 >= 8 ? 8 : data - byte * 8;
            out[byte] |= uint8_t(bit << (8 - inByte + k % 8));
        }
        if (separate) out.push_back(uint8_t(((bits[(n - 1) / 8] >> ((n - 1) % 8)) & 1) << 7));
        return out;
    }
    static ResultRecord* reserve(KpxContext* ctx, uint32_t n, uint32_t flags, uint8_t* tdo) {
        ResultRecord* r = newResultRecord(ctx);
        if (!r) return nullptr;
        r->tapId = 1;
        r->bitCount = n;
        r->lastBitPosition = n % 8 ? n % 8 - 1 : 7;
        r->flags |= flags;
        r->tdoBytes = tdo;
        return r;
    }
    // Pushes the bytes in two parts, the second only after the thread took the first.
    void pushSplit(const Bytes& bytes, size_t first) {
        pushTaken(Bytes(bytes.begin(), bytes.begin() + long(first)));
        drv.push(0, Bytes(bytes.begin() + long(first), bytes.end()));
    }
    void pushTaken(const Bytes& bytes) {
        drv.push(0, bytes);
        for (bool empty = false; !empty; platform::yieldProcessor())
            drv.with(0, [&](fake::Chip& c) { empty = c.rx.empty(); });
    }
    uint32_t h = 0;
};

TEST_F(Results, BitsReassembleForEveryLengthAndSplit) {
    auto ctx = locked(h);
    std::mt19937 rng(7);
    for (uint32_t n = 1; n <= 64; ++n) {
        for (bool separate : {false, true}) {
            Bytes bits((n + 7) / 8);
            for (auto& b : bits) b = uint8_t(rng());
            if (n % 8) bits.back() &= uint8_t(0xFF >> (8 - n % 8));
            const Bytes wire = answer(bits, n, separate);
            for (size_t split : {wire.size(), size_t(1), wire.size() - 1}) {
                if (split == 0) continue;
                Bytes tdo((n + 7) / 8 + 1, 0xEE);
                ASSERT_NE(reserve(ctx.get(), n, separate ? uint32_t(RR_LAST_BIT_SEPARATE) : 0u, tdo.data()), nullptr);
                pushSplit(wire, split);
                ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
                EXPECT_EQ(Bytes(tdo.begin(), tdo.end() - 1), bits) << "n=" << n << " separate=" << separate
                                                                   << " split=" << split;
                EXPECT_EQ(tdo.back(), 0xEE) << "nothing written past the result";
            }
        }
    }
}

TEST_F(Results, LongResultsAroundTheChunkBoundaryAndWordDelivery) {
    auto ctx = locked(h);
    std::mt19937 rng(11);
    for (uint32_t bytes : {2046u, 2047u, 2048u, 2049u, 4097u}) {
        for (uint32_t extra : {0u, 1u, 7u}) {
            const uint32_t n = bytes * 8 + extra;
            Bytes bits((n + 7) / 8);
            for (auto& b : bits) b = uint8_t(rng());
            if (n % 8) bits.back() &= uint8_t(0xFF >> (8 - n % 8));
            Bytes tdo(bits.size() + 1);
            std::vector<uint16_t> words((n + 15) / 16 + 1, 0xBEEF);
            ResultRecord* r = reserve(ctx.get(), n, RR_LAST_BIT_SEPARATE | RR_OWN_TDO, nullptr);
            ASSERT_NE(r, nullptr);
            r->tdoBytes = static_cast<uint8_t*>(std::malloc(bits.size() + 1));
            r->tdoWords = words.data();
            const Bytes wire = answer(bits, n, true);
            pushSplit(wire, std::min<size_t>(2048, wire.size() - 1));
            ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
            for (uint32_t k = 0; k < n; ++k)
                ASSERT_EQ((words[k / 16] >> (k % 16)) & 1, (bits[k / 8] >> (k % 8)) & 1u) << n << " bit " << k;
            EXPECT_EQ(words.back(), 0xBEEF);
        }
    }
}

TEST_F(Results, CompareDeliversDifferencesAndSetsTheTapFlag) {
    auto ctx = locked(h);
    // 12 bits, last bit separate, expected 0xABC, mask ignores bit 0 and bit 11.
    const Bytes bits = {0xBD, 0x0C};   // differs from expected in bit 0 (masked) and bit 8 (not masked)
    Bytes expected = {0xBC, 0x0A}, mask = {0x01, 0x08}, tdo(2);
    ResultRecord* r = reserve(ctx.get(), 12, RR_LAST_BIT_SEPARATE | RR_COMPARE | RR_MASK, tdo.data());
    r->expected = expected.data();
    r->mask = mask.data();
    drv.push(0, answer(bits, 12, true));
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
    EXPECT_EQ(tdo, (Bytes{0x00, 0x06}));
    EXPECT_EQ(transportOf(ctx).cmpErrorFlag[1], 1u);

    // Equal under the mask: no flag, differences zero; without tdoBytes too.
    transportOf(ctx).cmpErrorFlag[1] = 0;
    Bytes same = {0xBC, 0x0A};
    r = reserve(ctx.get(), 12, RR_COMPARE | RR_MASK, nullptr);
    r->expected = expected.data();
    r->mask = mask.data();
    drv.push(0, answer(same, 12, false));
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
    EXPECT_EQ(transportOf(ctx).cmpErrorFlag[1], 0u);

    // The last bit alone differs.
    Bytes last = {0xBC, 0x02};
    r = reserve(ctx.get(), 12, RR_LAST_BIT_SEPARATE | RR_COMPARE, nullptr);
    r->expected = expected.data();
    drv.push(0, answer(last, 12, true));
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
    EXPECT_EQ(transportOf(ctx).cmpErrorFlag[1], 1u);
}

TEST_F(Results, DiscardInTheMiddleOfARecordLeavesTheNextRecordIntact) {
    auto ctx = locked(h);
    ASSERT_EQ(enableBuffering(ctx.get(), 9), 0u);
    Bytes old(2, 0xEE);
    ASSERT_NE(reserve(ctx.get(), 16, RR_OWN_EXPECTED, old.data()), nullptr);
    transportOf(ctx).resultTail->records[transportOf(ctx).resultTail->count - 1].expected = static_cast<uint8_t*>(std::malloc(2));
    pushTaken({0x11});   // half of the record
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_DISCARD), 0u);
    Bytes fresh(2, 0);
    ASSERT_NE(reserve(ctx.get(), 16, 0, fresh.data()), nullptr);
    drv.push(0, {0x5A, 0xA5});
    ASSERT_EQ(disableBuffering(ctx.get()), 0u);
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
    EXPECT_EQ(fresh, (Bytes{0x5A, 0xA5}));
    EXPECT_EQ(old[1], 0xEE) << "nothing is stored into a discarded record";
}

TEST_F(Results, TwoHundredFiftyRecordsSpanThreeBlocks) {
    auto ctx = locked(h);
    std::vector<uint32_t> done(250, 1);
    Bytes tdo(250), wire(250);
    const ResultBlock* first = transportOf(ctx).resultTail;
    for (uint32_t i = 0; i < 250; ++i) {
        ResultRecord* r = reserve(ctx.get(), 8, 0, &tdo[i]);
        ASSERT_NE(r, nullptr);
        r->doneFlag = &done[i];
        wire[i] = uint8_t(i * 7);
    }
    EXPECT_EQ(transportOf(ctx).resultHead, first);
    EXPECT_EQ(transportOf(ctx).resultTail->sequence, first->sequence + 2);
    EXPECT_EQ(transportOf(ctx).resultTail->count, 50u);
    drv.push(0, wire);
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
    EXPECT_EQ(tdo, wire);
    EXPECT_EQ(std::count(done.begin(), done.end(), 0u), 250);
    EXPECT_EQ(transportOf(ctx).resultHead, transportOf(ctx).resultTail);
    EXPECT_EQ(transportOf(ctx).resultHead->readIndex, 50u);
}

TEST_F(Results, OneReadServesEveryRecordItCompletesAcrossBlocks) {
    // The answers of 230 records of mixed kinds arrive in two pieces, cut inside a record of the
    // second block: each piece is taken in one read and completes the records it can.
    auto ctx = locked(h);
    std::mt19937 rng(5);
    std::vector<Bytes> bits(230), tdo(230);
    Bytes wire;
    size_t cut = 0;
    for (uint32_t i = 0; i < 230; ++i) {
        const uint32_t n = i == 150 ? 20 : 1 + uint32_t(rng() % 40);
        const bool separate = n > 1 && (i & 1) == 0;
        bits[i].resize((n + 7) / 8);
        for (auto& b : bits[i]) b = uint8_t(rng());
        if (n % 8) bits[i].back() &= uint8_t(0xFF >> (8 - n % 8));
        tdo[i].assign(bits[i].size(), 0);
        ASSERT_NE(reserve(ctx.get(), n, separate ? uint32_t(RR_LAST_BIT_SEPARATE) : 0u, tdo[i].data()), nullptr);
        if (i == 150) cut = wire.size() + 1;
        const Bytes a = answer(bits[i], n, separate);
        wire.insert(wire.end(), a.begin(), a.end());
    }
    pushSplit(wire, cut);
    ASSERT_EQ(waitForResults(ctx.get(), WAIT_ALL), 0u);
    EXPECT_EQ(tdo, bits);
}

TEST_F(Results, StrayByteStopsTheThreadAndEveryLaterTransmissionFails) {
    {
        auto ctx = locked(h);
        ASSERT_TRUE(ctx);
    }
    drv.push(0, {0x55});
    // The thread posts the error and stops; the lookup then reports it not running.
    for (;;) {
        uint32_t v = 0;
        if (x_kpxGetControllerType(h, &v) == 1) break;
        platform::yieldProcessor();
    }
    EXPECT_EQ(globalLastError(), uint32_t(err::RX_THREAD_NOT_RUNNING));
    for (uint32_t type : {1u, 128u}) EXPECT_EQ(x_scanSetBuffering(h, type), 1u) << "every buffering type is refused";
    EXPECT_EQ(globalLastError(), uint32_t(err::RX_THREAD_NOT_RUNNING));
    KpxContext* ctx = lookupContext(h, LOOKUP_REPORT);
    ASSERT_NE(ctx, nullptr);
    const uint8_t cmd[2] = {0x81, 0x87};
    EXPECT_EQ(queueCommands(ctx, cmd, 2, 1), 1u);
    EXPECT_EQ(ctx->lastError, uint32_t(err::RESULT_ALREADY_PROCESSED));
    ResultRecord* r = reserve(ctx, 8, 0, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(waitForResults(ctx, WAIT_ALL), 1u) << "a wait ends on the posted error";
    EXPECT_EQ(ctx->lastError, uint32_t(err::RESULT_ALREADY_PROCESSED));
    EXPECT_EQ(queueCommands(ctx, cmd, 0, 0), 0u) << "an empty queue call is no transmission";
    ctx->contextLock.unlock();
    // A controller reset brings the thread back, but the posted error stays for the context's life.
    drv.with(0, [](fake::Chip& c) { c.scriptedOnly = false; });
    ASSERT_EQ(x_kpxResetController(h), 0u);
    auto again = locked(h);
    ASSERT_TRUE(again);
    EXPECT_EQ(queueCommands(again.get(), cmd, 2, 1), 1u);
    EXPECT_EQ(again->lastError, uint32_t(err::RESULT_ALREADY_PROCESSED));
}

}  // namespace
