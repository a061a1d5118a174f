// The handle table: allocation order and growth, the search hint, lookups and release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "core/context.h"
#include "core/errors.h"
#include "dorvane/dorvane.h"
#include "fresh_process.h"
#include "transport/transport.h"

using namespace dorvane;

namespace {

// Allocates a context and leaves its lock, as a finished open does.
uint32_t openContext() {
    uint32_t handle = 0;
    KpxContext* ctx = allocateContext(&handle);
    if (!ctx) return 0;
    ctx->contextLock.unlock();
    return handle;
}

// Releases the way close does: with the context looked up and its lock held.
bool closeContext(uint32_t handle) {
    if (!lookupContext(handle, LOOKUP_REPORT)) return false;
    releaseContext(handle);
    return true;
}

// Holds a context's lock on a second thread for the holder's scope.
class LockHolder {
public:
    explicit LockHolder(platform::Lock& lock)
        : thread_([this, &lock] { lock.lock(); held_.set(); release_.wait(0xFFFFFFFFu); lock.unlock(); }) {
        held_.wait(0xFFFFFFFFu);
    }
    ~LockHolder() { release_.set(); thread_.join(); }

private:
    platform::Event held_, release_;
    std::thread thread_;
};

TEST(HandleTable, HandsOutHandlesInTurnGrowsAndSearchesFromTheHint) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        for (uint32_t expected = 1; expected <= 16; ++expected) c.equal(openContext(), expected, "first table");
        // With 16 slots, 17 lies outside the table.
        c.that(lookupContext(17, LOOKUP_REPORT) == nullptr, "handle 17 looked up before growth");
        c.equal(globalLastError(), 13001u, "error for handle 17");

        c.equal(openContext(), 17u, "handle after growth");
        c.that(closeContext(15), "close 15");
        c.that(lookupContext(15, LOOKUP_REPORT) == nullptr, "released handle looked up");
        c.equal(kpx_error_nbr(), 61, "public number after a released handle");
        // The search goes on from the hint, so slot 15 comes back only after a full round.
        c.equal(openContext(), 18u, "handle after releasing 15");
        for (uint32_t expected = 19; expected <= 32; ++expected) c.equal(openContext(), expected, "second table");
        c.equal(openContext(), 15u, "freed slot reached again");
        c.equal(openContext(), 33u, "third table");
        c.that(lookupContext(65, 0) == nullptr, "handle 65 with a 64-slot table");
        // The process ends with controllers still open: unload must cope.
        return c.result();
    });
}

// A new context comes back locked: another thread's lookup is refused.
TEST(HandleTable, ANewContextComesBackLocked) {
    uint32_t handle = 0;
    ASSERT_NE(allocateContext(&handle), nullptr);
    std::thread([handle] { EXPECT_EQ(lookupContext(handle, 0), nullptr); }).join();
    releaseContext(handle);
    EXPECT_EQ(lookupContext(handle, LOOKUP_REPORT), nullptr);
    EXPECT_EQ(globalLastError(), err::INVALID_KPX_HANDLE);
}

TEST(Lookup, RefusesHandlesThatNameNoContext) {
    uint32_t handle = openContext();
    ASSERT_NE(handle, 0u);
    for (uint32_t bad : {0u, 0xFFFFFFFFu, 0x80000000u, handle + 0x10000u}) {
        recordError(nullptr, 0);
        EXPECT_EQ(lookupContext(bad, LOOKUP_REPORT), nullptr) << bad;
        EXPECT_EQ(globalLastError(), err::INVALID_KPX_HANDLE) << bad;
        // Without LOOKUP_REPORT the failure is silent.
        recordError(nullptr, 0);
        EXPECT_EQ(lookupContext(bad, 0), nullptr) << bad;
        EXPECT_EQ(globalLastError(), 0u) << bad;
    }
    for (uint32_t bad : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu}) releaseContext(bad);   // ignored
    EXPECT_TRUE(closeContext(handle));
    releaseContext(handle);   // already empty
    EXPECT_EQ(lookupContext(handle, 0), nullptr);
}

TEST(Lookup, ABusyHandleFailsWith2001WithoutTouchingTheContext) {
    uint32_t handle = openContext();
    uint32_t other = openContext();
    KpxContext* ctx = lookupContext(handle, 0);
    ASSERT_NE(ctx, nullptr);
    ctx->contextLock.unlock();
    {
        LockHolder holder(ctx->contextLock);
        recordError(nullptr, 0);
        uint32_t start = platform::millisecondTimer();
        EXPECT_EQ(lookupRunningContext(handle, LOOKUP_REPORT), nullptr);
        EXPECT_GE(platform::millisecondTimer() - start, 50u);   // it waited out the full limit
        EXPECT_EQ(globalLastError(), err::HANDLE_IN_USE);
        EXPECT_EQ(ctx->lastError, 0u);
        // The readers fall back to the process slot, silently.
        EXPECT_EQ(x_kpxErrorNbr(handle), 4);
        EXPECT_STREQ(x_kpxErrorMsg(handle), "KPX handle locked / in use");
        // Other controllers are not held up for good.
        KpxContext* free = lookupContext(other, LOOKUP_REPORT);
        EXPECT_NE(free, nullptr);
        if (free) free->contextLock.unlock();
    }
    EXPECT_EQ(lookupContext(handle, LOOKUP_REPORT), ctx);
    releaseContext(handle);
    EXPECT_TRUE(closeContext(other));
}

TEST(Lookup, TheRunningFlagRequiresTheReceiveThread) {
    uint32_t handle = openContext();
    KpxContext* ctx = lookupContext(handle, LOOKUP_REPORT);
    ASSERT_NE(ctx, nullptr);
    ctx->contextLock.unlock();

    EXPECT_EQ(lookupRunningContext(handle, 0), nullptr);
    EXPECT_EQ(ctx->lastError, 0u);
    EXPECT_EQ(lookupRunningContext(handle, LOOKUP_REPORT), nullptr);
    EXPECT_EQ(ctx->lastError, err::RX_THREAD_NOT_RUNNING);
    EXPECT_EQ(globalLastError(), err::RX_THREAD_NOT_RUNNING);
    // The failed lookup left the context's lock.
    std::thread([ctx] {
        EXPECT_TRUE(ctx->contextLock.tryLock());
        ctx->contextLock.unlock();
    }).join();

    // Close-type lookups (reporting only) still succeed.
    EXPECT_EQ(lookupContext(handle, LOOKUP_REPORT), ctx);
    ctx->contextLock.unlock();

    transportOf(ctx).receiveThreadState = ReceiveThreadState::Running;
    EXPECT_EQ(lookupRunningContext(handle, LOOKUP_REPORT), ctx);
    transportOf(ctx).receiveThreadState = ReceiveThreadState::Stopped;
    releaseContext(handle);
}

TEST(Release, FreesWhatUndeliveredRecordsOwnAndLeavesDeliveredOnesAlone) {
    uint32_t handle = 0;
    KpxContext* ctx = allocateContext(&handle);
    ASSERT_NE(ctx, nullptr);

    // Block 1: record 0 delivered (its buffer belongs to the test now), record 1 pending.
    auto* first = static_cast<ResultBlock*>(std::calloc(1, sizeof(ResultBlock)));
    ASSERT_NE(first, nullptr);
    transportOf(ctx).resultHead = first;
    auto* delivered = static_cast<uint8_t*>(std::malloc(4));
    first->records[0] = ResultRecord{1, 7, 0, 8, nullptr, delivered, nullptr, nullptr, nullptr, nullptr};
    first->records[1] = ResultRecord{1, 7, RR_PENDING | RR_OWN_TDO | RR_OWN_EXPECTED | RR_OWN_MASK, 8, nullptr,
                                     static_cast<uint8_t*>(std::malloc(1)), nullptr, nullptr,
                                     static_cast<uint8_t*>(std::malloc(1)), static_cast<uint8_t*>(std::malloc(1))};
    first->count = 2;
    first->readIndex = 1;
    // Block 2: a pending multi-scan record.
    auto* second = static_cast<ResultBlock*>(std::calloc(1, sizeof(ResultBlock)));
    ASSERT_NE(second, nullptr);
    second->sequence = 1;
    second->records[0].flags = RR_PENDING | RR_OWN_MULTI;
    second->records[0].multiBase = static_cast<uint8_t*>(std::malloc(16));
    second->count = 1;
    first->next = second;
    transportOf(ctx).resultTail = second;
    transportOf(ctx).commandBuffer = static_cast<uint8_t*>(std::malloc(64));
    transportOf(ctx).commandBufferCapacity = 64;

    // Leaks or double frees show under the sanitizer builds.
    releaseController(ctx, handle);
    delivered[3] = 1;
    std::free(delivered);
    EXPECT_EQ(lookupContext(handle, LOOKUP_REPORT), nullptr);
}

TEST(HandleTable, ConcurrentOpensGetDistinctHandles) {
    constexpr int kThreads = 4, kEach = 40;
    std::vector<std::vector<uint32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&got, t] {
            for (int i = 0; i < kEach; ++i) got[t].push_back(openContext());
        });
    }
    for (auto& th : threads) th.join();
    std::set<uint32_t> all;
    for (auto& v : got) {
        for (uint32_t h : v) {
            EXPECT_NE(h, 0u);
            EXPECT_TRUE(all.insert(h).second) << "handle " << h << " handed out twice";
        }
    }
    for (uint32_t h : all) EXPECT_TRUE(closeContext(h));
}

}  // namespace
