// The plain layer before any open, and what library load sets up.
#include <gtest/gtest.h>

#include <string>

#include "core/errors.h"
#include "api/library.h"
#include "core/locks.h"
#include "config/config.h"
#include "dorvane/dorvane.h"
#include "fresh_process.h"

using namespace dorvane;

namespace {

TEST(PlainLayer, BeforeAnyOpenEveryCallFailsWithInvalidHandle) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        c.equal(kpx_handle(), 0u, "kpx_handle before open");
        uint16_t tdi[1] = {0x5};
        c.equal(scan_ir(1, tdi, 4, nullptr), 1u, "scan_ir");
        c.equal(kpx_error_nbr(), 61, "number after scan_ir");
        c.equal(std::string(kpx_error_msg()), std::string("invalid KPX handle"), "message after scan_ir");
        recordError(nullptr, 0);
        c.equal(close_kpx(), 1u, "close_kpx");
        c.equal(kpx_error_nbr(), 61, "number after close_kpx");
        recordError(nullptr, 0);
        c.equal(suspend_kpx(), 1u, "suspend_kpx");
        c.equal(kpx_error_nbr(), 61, "number after suspend_kpx");
        // A failed close changes nothing of the plain layer's state.
        c.equal(kpx_handle(), 0u, "kpx_handle after failed close");
        return c.result();
    });
}

TEST(PlainLayer, AFailedOpenLeavesThePlainLayerClosed) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        c.equal(open_kpx("not an address"), 1u, "first open");
        c.equal(open_kpx("not an address"), 1u, "second open");
        // Had the first open counted, the second would be refused as "controller still active".
        c.that(kpx_error_nbr() != 322, "second open refused as still active");
        c.equal(resume_kpx("not an address"), 1u, "resume");
        c.that(kpx_error_nbr() != 322, "resume refused as still active");
        c.equal(kpx_handle(), 0u, "kpx_handle after a rejected address");
        return c.result();
    });
}

TEST(LibraryLoad, FixesTheKcfDirectoryAndTheDeviceMutex) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        c.equal(kcfDirectory(), initialKcfDirectory(), "kcfDirectory at load");
        c.that(deviceMutex().valid(), "device mutex created");
        c.that(deviceMutex().lock(), "device mutex taken");
        deviceMutex().unlock();
        return c.result();
    });
}

// Restores "KCFDIR" after a test changed it.
class KcfDirEnv : public ::testing::Test {
protected:
    void SetUp() override { hadValue_ = platform::getEnv("KCFDIR", saved_); }
    void TearDown() override { platform::setEnv("KCFDIR", hadValue_ ? saved_.c_str() : nullptr); }

private:
    bool hadValue_ = false;
    std::string saved_;
};

TEST_F(KcfDirEnv, KcfDirGetsASeparatorAndWithoutItTheLibrarysDirectoryIsUsed) {
    for (const char* dir : {"/opt/pods/", "C:\\Pods\\"}) {
        platform::setEnv("KCFDIR", dir);
        EXPECT_EQ(initialKcfDirectory(), dir);
    }
    // The tests link the library's objects, so the library's file is the test program.
    std::string program = platform::executablePath();
    ASSERT_FALSE(program.empty());
    std::string expected = program.substr(0, program.find_last_of("\\/:") + 1);

    platform::setEnv("KCFDIR", nullptr);
    EXPECT_EQ(initialKcfDirectory(), expected);
    // An empty value and one too long for the directory buffer are not used either.
    platform::setEnv("KCFDIR", "");
    EXPECT_EQ(initialKcfDirectory(), expected);
    platform::setEnv("KCFDIR", std::string(1023, 'd').c_str());
    EXPECT_EQ(initialKcfDirectory(), expected);
    // One character less, and the separator is added.
    platform::setEnv("KCFDIR", std::string(1022, 'd').c_str());
    EXPECT_EQ(initialKcfDirectory(), std::string(1022, 'd') + "\\");
}

}  // namespace
