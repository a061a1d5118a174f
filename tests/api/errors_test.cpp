// The error table against its definition, statusToError, recording and the two readers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "core/context.h"
#include "core/errors.h"
#include "dorvane/dorvane.h"
#include "fresh_process.h"

using namespace dorvane;

namespace {

std::vector<ErrorRow> table() {
    uint32_t n = 0;
    const ErrorRow* rows = errorTable(&n);
    return {rows, rows + n};
}

// Releases a context allocated by a test, whatever the test's outcome.
struct TestContext {
    uint32_t handle = 0;
    KpxContext* ctx = allocateContext(&handle);
    TestContext() { if (ctx) ctx->contextLock.unlock(); }
    ~TestContext() {
        if (ctx) {
            ctx->contextLock.lock();
            releaseContext(handle);
        }
    }
};

// Every code once, each category followed by its own sub-codes sharing its public number;
// write time-out is found before read time-out, and "unknown system error" ends the table.
TEST(ErrorTable, SubCodesFollowTheirCategoryAndUnknownSystemErrorEndsIt) {
    std::set<uint32_t> codes;
    int32_t categoryNumber = -1;
    uint32_t category = 0;
    for (const ErrorRow& row : table()) {
        EXPECT_TRUE(codes.insert(row.code).second) << "code " << row.code << " occurs twice";
        ASSERT_NE(row.message, nullptr);
        EXPECT_GT(std::strlen(row.message), 0u);
        if (row.code < 1000) {
            category = row.code;
            categoryNumber = row.publicNumber;
        } else {
            EXPECT_EQ(row.code / 1000, category) << "sub-code " << row.code << " outside its category";
            EXPECT_EQ(row.publicNumber, categoryNumber) << "sub-code " << row.code;
        }
    }
    std::vector<ErrorRow> rows = table();
    auto indexOf = [&](uint32_t code) {
        for (size_t i = 0; i < rows.size(); ++i) if (rows[i].code == code) return i;
        return rows.size();
    };
    EXPECT_LT(indexOf(err::WRITE_TIMEOUT), indexOf(err::READ_TIMEOUT));
    EXPECT_EQ(rows.back().code, 38u);
}

TEST(ErrorTable, CodesOutsideTheTableReadAsUnknownSystemError) {
    for (uint32_t code : {25u, 30012u, 26006u, 39u, 999u, 1009u, 0xFFFFFFFFu}) {
        const ErrorRow& row = findError(code);
        EXPECT_EQ(row.code, 38u) << code;
        EXPECT_EQ(row.publicNumber, 1) << code;
        EXPECT_STREQ(row.message, "unknown system error") << code;
    }
    recordError(nullptr, 4242);
    EXPECT_EQ(x_kpxErrorNbr(0), 1);
    EXPECT_STREQ(x_kpxErrorMsg(0), "unknown system error");
}

TEST(RecordError, StoresOnTheContextAndInTheProcessSlot) {
    TestContext t;
    ASSERT_NE(t.ctx, nullptr);
    t.ctx->contextLock.lock();
    EXPECT_EQ(recordError(t.ctx, 30014), 0u);
    t.ctx->contextLock.unlock();
    EXPECT_EQ(t.ctx->lastError, err::KCF_NOT_FOUND);
    EXPECT_EQ(globalLastError(), err::KCF_NOT_FOUND);
    EXPECT_EQ(x_kpxErrorNbr(t.handle), 316);
    EXPECT_STREQ(x_kpxErrorMsg(t.handle), "KCF file not found");

    // A failure elsewhere moves the process slot only; the handle keeps its own error.
    recordError(nullptr, 13001);
    EXPECT_EQ(t.ctx->lastError, err::KCF_NOT_FOUND);
    EXPECT_EQ(x_kpxErrorNbr(t.handle), 316);
    EXPECT_EQ(x_kpxErrorNbr(0), 61);
    EXPECT_STREQ(x_kpxErrorMsg(0xFFFFFFFFu), "invalid KPX handle");
}

TEST(ErrorReaders, AFreshContextReportsOkWhateverTheProcessSlotHolds) {
    TestContext t;
    ASSERT_NE(t.ctx, nullptr);
    EXPECT_EQ(x_scanIr(0, 1, nullptr, 8, nullptr), 1u);
    EXPECT_EQ(x_kpxErrorNbr(12345), 61);
    EXPECT_STREQ(x_kpxErrorMsg(12345), "invalid KPX handle");
    EXPECT_EQ(x_kpxErrorNbr(t.handle), 0);
    EXPECT_STREQ(x_kpxErrorMsg(t.handle), "OK");
    // Reading records nothing and leaves the context's lock free.
    EXPECT_EQ(globalLastError(), err::INVALID_KPX_HANDLE);
    EXPECT_TRUE(t.ctx->contextLock.tryLock());
    t.ctx->contextLock.unlock();
}

TEST(ErrorReaders, AFreshProcessReportsOkThroughThePlainLayer) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        c.equal(kpx_error_nbr(), 0, "kpx_error_nbr");
        c.equal(std::string(kpx_error_msg()), std::string("OK"), "kpx_error_msg");
        c.equal(x_kpxErrorNbr(1), 0, "x_kpxErrorNbr(1)");
        return c.result();
    });
}

}  // namespace
