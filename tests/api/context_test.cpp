// The handle table (allocation order and growth, lookups, release) and error recording (the
// error table, the process slot and the readers).
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "core/context.h"
#include "core/errors.h"
#include "dorvane/dorvane.h"
#include "fresh_process.h"
#include "transport/transport.h"

using namespace dorvane;

namespace {

constexpr uint32_t kForever = 0xFFFFFFFFu;

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

// Every code once, each category followed by its own sub-codes sharing its public number, and
// the last row, "unknown system error", is what every code outside the table reads as.
TEST(ErrorTable, SubCodesFollowTheirCategoryAndUnknownCodesReadAsTheLastRow) {
    uint32_t n = 0;
    const ErrorRow* rows = errorTable(&n);
    ASSERT_GT(n, 0u);
    std::set<uint32_t> codes;
    const ErrorRow* category = nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        const ErrorRow& row = rows[i];
        EXPECT_TRUE(codes.insert(row.code).second) << "code " << row.code << " occurs twice";
        ASSERT_NE(row.message, nullptr);
        EXPECT_NE(row.message[0], '\0') << row.code;
        EXPECT_EQ(&findError(row.code), &row) << row.code;
        if (row.code < 1000) {
            category = &row;
        } else {
            ASSERT_NE(category, nullptr);
            EXPECT_EQ(row.code / 1000, category->code) << "sub-code " << row.code << " outside its category";
            EXPECT_EQ(row.publicNumber, category->publicNumber) << "sub-code " << row.code;
        }
    }
    const ErrorRow& unknown = rows[n - 1];
    EXPECT_STREQ(unknown.message, "unknown system error");
    EXPECT_EQ(unknown.publicNumber, publicNumber(err::SYSTEM));
    for (uint32_t code : {25u, 30012u, 26006u, 39u, 999u, 1009u, 0xFFFFFFFFu})
        EXPECT_EQ(&findError(code), &unknown) << code;
    recordError(nullptr, 4242);
    EXPECT_EQ(x_kpxErrorNbr(0), unknown.publicNumber);
    EXPECT_STREQ(x_kpxErrorMsg(0), unknown.message);
}

// The readers report the handle's own last error when the handle leads to a context, else the
// process slot; reading records nothing and leaves the context's lock free.
TEST(ErrorReaders, ReportTheHandlesOwnErrorElseTheProcessSlot) {
    const uint32_t handle = openContext();
    EXPECT_EQ(x_scanIr(0, 1, nullptr, 8, nullptr), 1u);
    EXPECT_EQ(x_kpxErrorNbr(handle), 0) << "a fresh context reports OK whatever the process slot holds";
    EXPECT_STREQ(x_kpxErrorMsg(handle), "OK");
    KpxContext* ctx = lookupContext(handle, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(recordError(ctx, err::KCF_NOT_FOUND), 0u);
    ctx->contextLock.unlock();
    EXPECT_EQ(ctx->lastError, err::KCF_NOT_FOUND);
    EXPECT_EQ(globalLastError(), err::KCF_NOT_FOUND);

    // A failure elsewhere moves the process slot only.
    recordError(nullptr, err::INVALID_KPX_HANDLE);
    EXPECT_EQ(x_kpxErrorNbr(handle), publicNumber(err::KCF_NOT_FOUND));
    EXPECT_STREQ(x_kpxErrorMsg(handle), findError(err::KCF_NOT_FOUND).message);
    EXPECT_EQ(x_kpxErrorNbr(0), publicNumber(err::INVALID_KPX_HANDLE));
    EXPECT_STREQ(x_kpxErrorMsg(12345), findError(err::INVALID_KPX_HANDLE).message);
    EXPECT_EQ(globalLastError(), err::INVALID_KPX_HANDLE);
    std::thread([ctx] { EXPECT_TRUE(ctx->contextLock.tryLock()); ctx->contextLock.unlock(); }).join();
    EXPECT_TRUE(closeContext(handle));
}

TEST(HandleTable, HandsOutHandlesInTurnGrowsAndSearchesFromTheHint) {
    expectInFreshProcess([] {
        for (uint32_t expected = 1; expected <= 16; ++expected) FRESH_CHECK(openContext() == expected);
        FRESH_CHECK(openContext() == 17u);   // the table grows past its first 16 slots
        FRESH_CHECK(closeContext(15));
        // The search goes on from the hint, so slot 15 comes back only after a full round.
        for (uint32_t expected = 18; expected <= 32; ++expected) FRESH_CHECK(openContext() == expected);
        FRESH_CHECK(openContext() == 15u);
        FRESH_CHECK(openContext() == 33u);
        // The process ends with controllers still open: unload must cope.
    });
}

// Refused: handles that name no context (silently without LOOKUP_REPORT), and a new context
// until its opener lets go of it.
TEST(Lookup, RefusesHandlesThatNameNoContextAndANewContextUntilItsOpenerLetsGo) {
    uint32_t handle = 0;
    ASSERT_NE(allocateContext(&handle), nullptr);
    std::thread([handle] { EXPECT_EQ(lookupContext(handle, 0), nullptr); }).join();
    releaseContext(handle);
    handle = openContext();
    ASSERT_NE(handle, 0u);
    for (uint32_t bad : {0u, 0xFFFFFFFFu, 0x80000000u, handle + 0x10000u}) {
        for (uint32_t flags : {0u, LOOKUP_REPORT}) {
            recordError(nullptr, 0);
            EXPECT_EQ(lookupContext(bad, flags), nullptr) << bad;
            EXPECT_EQ(globalLastError(), flags ? uint32_t(err::INVALID_KPX_HANDLE) : 0u) << bad;
        }
    }
    for (uint32_t bad : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu}) releaseContext(bad);   // ignored
    EXPECT_TRUE(closeContext(handle));
    releaseContext(handle);   // already empty
    EXPECT_FALSE(closeContext(handle));
    EXPECT_EQ(globalLastError(), err::INVALID_KPX_HANDLE);
}

TEST(Lookup, ABusyHandleFailsWithHandleInUseWithoutTouchingTheContext) {
    const uint32_t handle = openContext(), other = openContext();
    KpxContext* ctx = lookupContext(handle, 0);
    ASSERT_NE(ctx, nullptr);
    ctx->contextLock.unlock();
    platform::Event held, release;
    std::thread holder([&] { ctx->contextLock.lock(); held.set(); release.wait(kForever); ctx->contextLock.unlock(); });
    held.wait(kForever);
    recordError(nullptr, 0);
    const uint32_t start = platform::millisecondTimer();
    EXPECT_EQ(lookupRunningContext(handle, LOOKUP_REPORT), nullptr);
    EXPECT_GE(platform::millisecondTimer() - start, 50u);   // it waited out the full limit
    EXPECT_EQ(globalLastError(), err::HANDLE_IN_USE);
    EXPECT_EQ(ctx->lastError, 0u);
    // The readers fall back to the process slot.
    EXPECT_EQ(x_kpxErrorNbr(handle), publicNumber(err::HANDLE_IN_USE));
    // Other controllers are not held up.
    KpxContext* free = lookupContext(other, LOOKUP_REPORT);
    EXPECT_NE(free, nullptr);
    if (free) free->contextLock.unlock();
    release.set();
    holder.join();
    EXPECT_EQ(lookupContext(handle, LOOKUP_REPORT), ctx);
    releaseContext(handle);
    EXPECT_TRUE(closeContext(other));
}

TEST(Lookup, TheRunningFlagRequiresTheReceiveThread) {
    const uint32_t handle = openContext();
    KpxContext* ctx = lookupContext(handle, LOOKUP_REPORT);
    ASSERT_NE(ctx, nullptr);
    ctx->contextLock.unlock();
    EXPECT_EQ(lookupRunningContext(handle, 0), nullptr);
    EXPECT_EQ(ctx->lastError, 0u);
    EXPECT_EQ(lookupRunningContext(handle, LOOKUP_REPORT), nullptr);
    EXPECT_EQ(ctx->lastError, err::RX_THREAD_NOT_RUNNING);
    EXPECT_EQ(globalLastError(), err::RX_THREAD_NOT_RUNNING);
    // The failed lookup left the context's lock.
    std::thread([ctx] { EXPECT_TRUE(ctx->contextLock.tryLock()); ctx->contextLock.unlock(); }).join();
    transportOf(ctx).receiveThreadState = ReceiveThreadState::Running;
    EXPECT_EQ(lookupRunningContext(handle, LOOKUP_REPORT), ctx);
    transportOf(ctx).receiveThreadState = ReceiveThreadState::Stopped;
    releaseContext(handle);
}

TEST(Release, FreesWhatUndeliveredRecordsOwnAndLeavesDeliveredOnesAlone) {
    uint32_t handle = 0;
    KpxContext* ctx = allocateContext(&handle);
    ASSERT_NE(ctx, nullptr);
    auto bytes = [](size_t n) { return static_cast<uint8_t*>(std::malloc(n)); };

    // Block 1: record 0 delivered (its buffer belongs to the test now), record 1 pending.
    auto* first = static_cast<ResultBlock*>(std::calloc(1, sizeof(ResultBlock)));
    ASSERT_NE(first, nullptr);
    transportOf(ctx).resultHead = first;
    uint8_t* delivered = bytes(4);
    first->records[0] = ResultRecord{1, 7, 0, 8, nullptr, delivered, nullptr, nullptr, nullptr, nullptr};
    first->records[1] = ResultRecord{1, 7, RR_PENDING | RR_OWN_TDO | RR_OWN_EXPECTED | RR_OWN_MASK, 8, nullptr,
                                     bytes(1), nullptr, nullptr, bytes(1), bytes(1)};
    first->count = 2;
    first->readIndex = 1;
    // Block 2: a pending multi-scan record.
    auto* second = static_cast<ResultBlock*>(std::calloc(1, sizeof(ResultBlock)));
    ASSERT_NE(second, nullptr);
    second->sequence = 1;
    second->records[0].flags = RR_PENDING | RR_OWN_MULTI;
    second->records[0].multiBase = bytes(16);
    second->count = 1;
    first->next = second;
    transportOf(ctx).resultTail = second;
    transportOf(ctx).commandBuffer = bytes(64);
    transportOf(ctx).commandBufferCapacity = 64;

    // Leaks or double frees show under the sanitizer builds.
    releaseController(ctx, handle);
    delivered[3] = 1;
    std::free(delivered);
    EXPECT_EQ(lookupContext(handle, LOOKUP_REPORT), nullptr);
}

}  // namespace
