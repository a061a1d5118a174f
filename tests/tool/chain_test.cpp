// Chain detection's decoding (IDCODE walk, IR capture split, JEDEC manufacturer), the tool on
// the virtual pod, and its interface list.
#include <gtest/gtest.h>

#include "../../tools/chain.h"

using namespace dorvane::tools;

namespace {
void append(std::vector<uint8_t>& bits, uint64_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) bits.push_back((value >> i) & 1);
}
}  // namespace

TEST(ChainDecode, IdcodesAndBypassDevicesUpToTheOnesBehind) {
    std::vector<uint8_t> bits;
    append(bits, 0x4BA00477, 32);   // TDO end: an ARM debug port
    append(bits, 0, 1);             // a device without IDCODE (BYPASS captures 0)
    append(bits, 0x06413041, 32);   // an STM32 boundary-scan TAP
    append(bits, 0xFFFFFFFF, 32);   // the ones shifted in behind
    append(bits, 0xFFFFFFFF, 40);
    auto devices = parseIdcodes(bits);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_TRUE(devices[0].hasIdcode);
    EXPECT_EQ(devices[0].idcode, 0x4BA00477u);
    EXPECT_FALSE(devices[1].hasIdcode);
    EXPECT_EQ(devices[2].idcode, 0x06413041u);
    EXPECT_TRUE(parseIdcodes(std::vector<uint8_t>(64, 1)).empty());
}

TEST(ChainDecode, IrCaptureSplitsIntoDevices) {
    std::vector<uint8_t> bits;
    append(bits, 0b0001, 4);
    append(bits, 0b01, 2);
    append(bits, 0b00000001, 8);
    EXPECT_EQ(splitIrCapture(bits, 3), (std::vector<uint32_t>{4, 2, 8}));
    // One device takes the whole capture.
    EXPECT_EQ(splitIrCapture(bits, 1), (std::vector<uint32_t>{14}));
    // No split when a device would not start with 1,0.
    std::vector<uint8_t> bad;
    append(bad, 0b0010, 4);
    EXPECT_TRUE(splitIrCapture(bad, 1).empty());
    EXPECT_TRUE(splitIrCapture(bits, 8).empty());
    // Ones above a capture's 01 do not start a device of their own.
    std::vector<uint8_t> odd;
    append(odd, 0b1101, 4);   // a 4-bit IR capturing 1101
    append(odd, 0b01, 2);
    EXPECT_EQ(splitIrCapture(odd, 2), (std::vector<uint32_t>{4, 2}));
}

#include "../shared/vpod_fixture.h"

class ToolOnVpod : public VpodTest {};

TEST_F(ToolOnVpod, DetectsTheDefaultBoardsChain) {
    open(boards::standard());
    ChainReport report;
    std::string failed;
    ASSERT_EQ(detectChain(h, &report, &failed), 0) << failed;
    ASSERT_EQ(report.devices.size(), 2u);
    EXPECT_EQ(report.devices[0].idcode, 0x4BA00477u);
    EXPECT_EQ(report.devices[1].idcode, 0x06413041u);
    EXPECT_EQ(report.irTotal, 9u);
    EXPECT_TRUE(report.irSplitKnown);
    EXPECT_EQ(report.devices[0].irLength, 4u);
    EXPECT_EQ(report.devices[1].irLength, 5u);
    const std::string text = formatChain("USB", 6000, report);
    EXPECT_NE(text.find("STMicroelectronics"), std::string::npos);
    // The chain is left as a reset leaves it.
    EXPECT_EQ(tap(0).state, vpod::control::TapState::TestLogicReset);
}

#include "../../tools/cmd_list.h"

// dorvane list, on whichever provider the suite runs: one line per channel, a held one marked.
TEST_F(ToolOnVpod, ListsEveryInterfaceWithItsType) {
    ASSERT_TRUE(useProviderUnderTest());
    ASSERT_TRUE(vpod::control::loadConfigText(
        "[Device1]\nType=FT4232H\nSerial=QH01\nBusy=C\n[Device2]\nType=FT232H\nSerial=SH01\n"));
    bool ok = false;
    const std::string text = listInterfaces(dorvane::transport::ftdiDriver(), &ok);
    ASSERT_TRUE(ok) << text;
    for (const char* line : {" 0  FT4232H    QH01A         Quad RS232-HS A\n", " 1  FT4232H    QH01B ",
                             " 2  ?          QH01C         (held by another program)\n", " 3  FT4232H    QH01D ",
                             " 4  FT232H     SH01          Single RS232-HS\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    const std::string json = listInterfaces(dorvane::transport::ftdiDriver(), &ok, true);
    EXPECT_EQ(json.rfind("{\"interfaces\": [{\"index\": 0, \"type\": \"FT4232H\", \"serial\": \"QH01A\"", 0), 0u) << json;
    EXPECT_NE(json.find("{\"index\": 2, \"type\": null, \"serial\": \"QH01C\", \"description\": null, \"held\": true}"),
              std::string::npos) << json;
    EXPECT_EQ(json.substr(json.size() - 4), "}]}\n") << json;
    vpod::control::loadDefaultBoard();
}
