// dorvane swd on the default board's channel B: what it prints, WAIT retries, target errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/config.h"
#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/ftdi_driver.h"
#include "vpod/control.h"

namespace dorvane::tools {
int swdCommand(uint32_t handle, const std::vector<std::string>& args);
}

namespace {

class SwdTool : public ::testing::Test {
protected:
    void SetUp() override {
        dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
        dorvane::transport::setFtdiDriver(nullptr);
        vpod::control::loadDefaultBoard();
        const std::string dir = ::testing::TempDir();
        FILE* f = std::fopen((dir + "/tooltest.Kcf").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("[FT2232Kpx]\nVersion=1.0.0.0\nTap1Mode=BSCAN2SWD\nSubDevice=B\n", f);
        std::fclose(f);
        dorvane::setKcfDirectory(dir + "/");
        ASSERT_EQ(x_openKpx(&h, "USBFtooltest"), 0u) << kpx_error_msg();
    }
    void TearDown() override { x_closeKpx(h); }
    int run(const std::vector<std::string>& args, std::string* out = nullptr) {
        ::testing::internal::CaptureStdout();
        const int status = dorvane::tools::swdCommand(h, args);
        const std::string text = ::testing::internal::GetCapturedStdout();
        if (out) *out = text;
        return status;
    }
    uint32_t h = 0xFFFFFFFFu;
};

TEST_F(SwdTool, InfoWriteAndReadAcrossA1KiBBlock) {
    std::string out;
    ASSERT_EQ(run({"info"}, &out), 0);
    EXPECT_EQ(out, "DPIDR   0x2BA01477\nAP IDR  0x24770011\nROM     0xE00FF003\n");
    ASSERT_TRUE(vpod::control::swdInjectWait("DV000001B", 3, 4));   // retried by the tool
    ASSERT_EQ(run({"write", "0x200003F8", "1", "2", "3", "0xDEADBEEF"}), 0);
    vpod::control::SwdStatus st;
    ASSERT_TRUE(vpod::control::swdStatus("DV000001B", &st));
    EXPECT_EQ(st.waitAcks, 3u);
    ASSERT_EQ(run({"read", "0x200003F8", "5"}, &out), 0);
    EXPECT_EQ(out, "0x200003F8: 0x00000001 0x00000002 0x00000003 0xDEADBEEF\n0x20000408: 0x00000000\n");
    EXPECT_EQ(run({"read", "0x10000000"}), 1);   // outside RAM: STICKYERR reported
    EXPECT_EQ(run({"read", "0x20000000", "0"}), 2);
    EXPECT_EQ(run({"write", "0x20000000", "x"}), 2);
}

}  // namespace
