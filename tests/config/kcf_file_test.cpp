// KCF files, written the way Windows tools write them (CR LF, "key=value"), read from a
// temporary KCF directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/errors.h"
#include "api/library.h"
#include "config/config.h"
#include "dorvane/dorvane.h"
#include "platform/platform.h"

using namespace dorvane;
namespace fs = std::filesystem;

namespace {

class KcfFile : public ::testing::Test {
protected:
    void SetUp() override {
        savedDir_ = kcfDirectory();
        dir_ = fs::temp_directory_path() /
               ("dorvane-kcf-" + std::to_string(platform::millisecondTimer()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        // The directory as the library forms it from "KCFDIR": a backslash appended.
        setKcfDirectory(dir_.string() + "\\");
    }
    void TearDown() override {
        setKcfDirectory(savedDir_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Writes [FT2232Kpx] with the given lines, CR LF terminated.
    void write(const std::string& name, const std::vector<std::string>& lines,
               const std::string& section = "[FT2232Kpx]") {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream out(dir_ / name, std::ios::binary);
        out << "; pod configuration\r\n" << section << "\r\n";
        for (const std::string& line : lines) out << line << "\r\n";
    }

    // Reads name after writing board.Kcf with "Version=1.0.0.0" and the given lines.
    uint32_t readWith(const std::vector<std::string>& lines) {
        std::vector<std::string> all = {"Version=1.0.0.0"};
        all.insert(all.end(), lines.begin(), lines.end());
        write("board.Kcf", all);
        spec_ = KpxControllerSpec{};
        recordError(nullptr, 0);
        return readKcfFile(&spec_, "board");
    }

    fs::path dir_;
    KpxControllerSpec spec_{};

private:
    std::string savedDir_;
};

std::string text(const char* s) { return s ? s : "(null)"; }

TEST_F(KcfFile, AVersionAloneSelectsLogicalUnitZeroWithTheDefaults) {
    ASSERT_EQ(readWith({}), 0u);
    EXPECT_EQ(spec_.flags, SPEC_BY_LOGICAL_UNIT | SPEC_DEFAULT_DESCRIPTION | SPEC_CHANNEL_A);
    EXPECT_EQ(spec_.logicalUnitNumber, 0u);
    EXPECT_EQ(text(spec_.descriptionBase), "Dual RS232");
    EXPECT_EQ(text(spec_.descriptionA), "Dual RS232 A");
    EXPECT_EQ(text(spec_.descriptionB), "Dual RS232 B");
    EXPECT_EQ(spec_.tapMode[1], 0);
    EXPECT_EQ(spec_.trstBus, 0);
    EXPECT_EQ(spec_.trstMask, 0);
    EXPECT_EQ(spec_.dataBusDirection | spec_.dataBusValue | spec_.ctrlBusDirection | spec_.ctrlBusValue, 0);
}

TEST_F(KcfFile, NamesGetTheKcfExtensionUnlessTheyCarryOne) {
    write("board.Kcf", {"Version=1.0.0.0", "LogicalUnitNumber=1"});
    write("board.ini", {"Version=1.0.0.0", "LogicalUnitNumber=2"});
    write("cfg.d/board.Kcf", {"Version=1.0.0.0", "LogicalUnitNumber=3"});
    struct Case { const char* name; uint32_t lun; };
    for (const Case& c : {Case{"board", 1}, Case{"board.ini", 2}, Case{"cfg.d/board", 3}, Case{"cfg.d\\board", 3}}) {
        KpxControllerSpec spec{};
        ASSERT_EQ(readKcfFile(&spec, c.name), 0u) << c.name;
        EXPECT_EQ(spec.logicalUnitNumber, c.lun) << c.name;
    }
    KpxControllerSpec spec{};
    EXPECT_EQ(readKcfFile(&spec, "board.cfg"), 1u);
    EXPECT_EQ(globalLastError(), 30014u);
    EXPECT_EQ(x_kpxErrorNbr(0), 316);
    EXPECT_STREQ(x_kpxErrorMsg(0), "KCF file not found");
}

TEST_F(KcfFile, ADirectoryOfThatNameIsNotReadable) {
    fs::create_directories(dir_ / "pods.Kcf");
    KpxControllerSpec spec{};
    EXPECT_EQ(readKcfFile(&spec, "pods"), 1u);
    EXPECT_EQ(globalLastError(), 30015u);
    EXPECT_STREQ(x_kpxErrorMsg(0), "no read access KCF file");
}

TEST_F(KcfFile, AnUnreadableFileIsReportedAsSuch) {
    write("locked.Kcf", {"Version=1.0.0.0"});
    fs::permissions(dir_ / "locked.Kcf", fs::perms::none);
    if (std::ifstream(dir_ / "locked.Kcf").is_open()) GTEST_SKIP() << "permissions do not bind this user";
    KpxControllerSpec spec{};
    EXPECT_EQ(readKcfFile(&spec, "locked"), 1u);
    EXPECT_EQ(globalLastError(), 30015u);
}

TEST_F(KcfFile, TheVersionMustBeExactly1000) {
    EXPECT_EQ(readWith({}), 0u);
    write("board.Kcf", {"Version=1.0.0.1"});
    KpxControllerSpec spec{};
    EXPECT_EQ(readKcfFile(&spec, "board"), 1u);
    EXPECT_EQ(globalLastError(), 30016u);
    write("board.Kcf", {"InterfaceType=LogicalUnitNumber"});
    EXPECT_EQ(readKcfFile(&spec, "board"), 1u);
    EXPECT_EQ(globalLastError(), 30016u);
    write("board.Kcf", {"Version=1.0.0.0"}, "[Other]");
    EXPECT_EQ(readKcfFile(&spec, "board"), 1u);
    EXPECT_EQ(globalLastError(), 30016u);
    // Section and key names match in any case; blanks and enclosing quotes go.
    write("board.Kcf", {"  version = \"1.0.0.0\"  "}, "[ft2232kpx]");
    EXPECT_EQ(readKcfFile(&spec, "board"), 0u);
}

TEST_F(KcfFile, ModeOfOperation) {
    ASSERT_EQ(readWith({"Tap1Mode=bscan2swd"}), 0u);
    EXPECT_EQ(spec_.tapMode[1], 1);
    ASSERT_EQ(readWith({"TAP1MODE=BScan"}), 0u);
    EXPECT_EQ(spec_.tapMode[1], 0);
    ASSERT_EQ(readWith({"Tap1Mode=   "}), 0u);
    EXPECT_EQ(spec_.tapMode[1], 0);
    EXPECT_EQ(readWith({"Tap1Mode=SWD"}), 1u);
    EXPECT_EQ(globalLastError(), 30017u);
    // Only TAP 1 is read.
    ASSERT_EQ(readWith({"Tap2Mode=nonsense"}), 0u);
}

TEST_F(KcfFile, InterfaceTypeAndLogicalUnitNumber) {
    ASSERT_EQ(readWith({"InterfaceType=logicalunitnumber", "LogicalUnitNumber=3"}), 0u);
    EXPECT_EQ(spec_.flags & SPEC_BY_LOGICAL_UNIT, SPEC_BY_LOGICAL_UNIT);
    EXPECT_EQ(spec_.logicalUnitNumber, 3u);
    EXPECT_EQ(readWith({"InterfaceType=USB"}), 1u);
    EXPECT_EQ(globalLastError(), 30018u);
    for (const char* bad : {"LogicalUnitNumber=3x", "LogicalUnitNumber=3 4", "LogicalUnitNumber=-1",
                            "LogicalUnitNumber=0x10"}) {
        EXPECT_EQ(readWith({bad}), 1u) << bad;
        EXPECT_EQ(globalLastError(), 30019u) << bad;
    }
}

TEST_F(KcfFile, SerialNumbersOfUpTo14Characters) {
    ASSERT_EQ(readWith({"InterfaceType=SerialNumber", "SerialNumber=FT12345678901Z"}), 0u);
    EXPECT_EQ(spec_.flags & SPEC_BY_LOGICAL_UNIT, 0u);
    EXPECT_EQ(text(spec_.serial), "FT12345678901Z");
    EXPECT_EQ(text(spec_.serialA), "FT12345678901ZA");
    EXPECT_EQ(text(spec_.serialB), "FT12345678901ZB");
    // The logical unit number is not read when selecting by serial number.
    ASSERT_EQ(readWith({"InterfaceType=serialnumber", "SerialNumber=AB 12", "LogicalUnitNumber=junk"}), 0u);
    EXPECT_EQ(text(spec_.serial), "AB 12");

    for (const std::vector<std::string>& lines :
         {std::vector<std::string>{"InterfaceType=SerialNumber", "SerialNumber=FT12345678901ZX"},
          std::vector<std::string>{"InterfaceType=SerialNumber"},
          std::vector<std::string>{"InterfaceType=SerialNumber", "SerialNumber=\"\""}}) {
        EXPECT_EQ(readWith(lines), 1u) << lines.back();
        EXPECT_EQ(globalLastError(), 30020u) << lines.back();
    }
}

TEST_F(KcfFile, DescriptionStringsOfUpTo61Characters) {
    ASSERT_EQ(readWith({"DescriptionString=My Pod"}), 0u);
    EXPECT_EQ(spec_.flags & SPEC_DEFAULT_DESCRIPTION, 0u);
    EXPECT_EQ(text(spec_.descriptionBase), "My Pod");
    EXPECT_EQ(text(spec_.descriptionA), "My Pod A");
    EXPECT_EQ(text(spec_.descriptionB), "My Pod B");
    std::string longest(61, 'x');
    ASSERT_EQ(readWith({"DescriptionString=" + longest}), 0u);
    EXPECT_EQ(text(spec_.descriptionB), longest + " B");
    EXPECT_EQ(readWith({"DescriptionString=" + longest + "y"}), 1u);
    EXPECT_EQ(globalLastError(), 30021u);
}

TEST_F(KcfFile, SubDeviceChoosesTheChannel) {
    ASSERT_EQ(readWith({"SubDevice=b"}), 0u);
    EXPECT_EQ(spec_.flags & (SPEC_CHANNEL_A | SPEC_CHANNEL_B), SPEC_CHANNEL_B);
    ASSERT_EQ(readWith({"SubDevice=A"}), 0u);
    EXPECT_EQ(spec_.flags & (SPEC_CHANNEL_A | SPEC_CHANNEL_B), SPEC_CHANNEL_A);
    // Any other single character: a single-channel device such as an FT232H.
    ASSERT_EQ(readWith({"SubDevice=2"}), 0u);
    EXPECT_EQ(spec_.flags & (SPEC_CHANNEL_A | SPEC_CHANNEL_B), 0u);
    EXPECT_EQ(readWith({"SubDevice=AB"}), 1u);
    EXPECT_EQ(globalLastError(), 30022u);
}

TEST_F(KcfFile, TrstPinNames) {
    ASSERT_EQ(readWith({"TrstPin=ctrlbus5"}), 0u);
    EXPECT_EQ(spec_.trstBus, 2);
    EXPECT_EQ(spec_.trstMask, 0x20);
    ASSERT_EQ(readWith({"TrstPin=CtrlBus5 "}), 0u);
    EXPECT_EQ(spec_.trstMask, 0x20);
    ASSERT_EQ(readWith({"TrstPin=DATABUS4"}), 0u);
    EXPECT_EQ(spec_.trstBus, 1);
    EXPECT_EQ(spec_.trstMask, 0x10);
    ASSERT_EQ(readWith({"TrstPin=CtrlBus0"}), 0u);
    EXPECT_EQ(spec_.trstMask, 0x01);
    for (const char* bad : {"TrstPin=DataBus3", "TrstPin=CtrlBus8", "TrstPin=DataBus45", "TrstPin=DataBus",
                            "TrstPin=Data", "TrstPin=AddrBus5", "TrstPin=CtrlBusX"}) {
        EXPECT_EQ(readWith({bad}), 1u) << bad;
        EXPECT_EQ(globalLastError(), 30023u) << bad;
    }
}

TEST_F(KcfFile, StaticIoOnTheDataBusSparesTheJtagPinsAndTrst) {
    ASSERT_EQ(readWith({"TrstPin=DataBus5", "StaticIoDataBusControl=0xFF", "StaticIoDataBusValue=0xff"}), 0u);
    EXPECT_EQ(spec_.dataBusDirection, 0xD0);
    EXPECT_EQ(spec_.dataBusValue, 0xD0);
    ASSERT_EQ(readWith({"StaticIoDataBusControl=0x3", "StaticIoDataBusValue=0x1"}), 0u);
    EXPECT_EQ(spec_.dataBusDirection, 0x00);
    EXPECT_EQ(spec_.dataBusValue, 0x00);
    // A value without its control key is not read.
    ASSERT_EQ(readWith({"StaticIoDataBusValue=0xF0"}), 0u);
    EXPECT_EQ(spec_.dataBusValue, 0);
    ASSERT_EQ(readWith({"StaticIoDataBusValue=junk"}), 0u);
}

TEST_F(KcfFile, InSwdBridgeModeTrstIsIgnoredAndDataBusBitZeroIsFree) {
    ASSERT_EQ(readWith({"Tap1Mode=BSCAN2SWD", "TrstPin=DataBus5", "StaticIoDataBusControl=0xFF",
                        "StaticIoDataBusValue=0x21"}), 0u);
    EXPECT_EQ(spec_.trstBus, 0);
    EXPECT_EQ(spec_.trstMask, 0);
    EXPECT_EQ(spec_.dataBusDirection, 0xF1);
    EXPECT_EQ(spec_.dataBusValue, 0x21);
    ASSERT_EQ(readWith({"Tap1Mode=BSCAN2SWD", "TrstPin=nonsense"}), 0u);
}

TEST_F(KcfFile, StaticIoOnTheControlBus) {
    ASSERT_EQ(readWith({"TrstPin=CtrlBus2", "StaticIoCtrlBusControl=0xff", "StaticIoCtrlBusValue=0x0F"}), 0u);
    EXPECT_EQ(spec_.ctrlBusDirection, 0xFB);
    EXPECT_EQ(spec_.ctrlBusValue, 0x0B);
    ASSERT_EQ(readWith({"StaticIoCtrlBusValue=0x0F"}), 0u);
    EXPECT_EQ(spec_.ctrlBusValue, 0);
}

TEST_F(KcfFile, HexadecimalValuesAreZeroXWithOneOrTwoDigits) {
    for (const char* bad : {"0x1FF", "FF", "0X1F", "0x", "0x G", "0x-1", "0x 5", "x1F"}) {
        EXPECT_EQ(readWith({std::string("StaticIoDataBusControl=") + bad}), 1u) << bad;
        EXPECT_EQ(globalLastError(), 30024u) << bad;
        EXPECT_EQ(readWith({"StaticIoCtrlBusControl=0x1", std::string("StaticIoCtrlBusValue=") + bad}), 1u) << bad;
        EXPECT_EQ(globalLastError(), 30025u) << bad;
    }
    EXPECT_EQ(readWith({"StaticIoDataBusControl=0xF0", "StaticIoDataBusValue=0x1FF"}), 1u);
    EXPECT_EQ(globalLastError(), 30025u);
    EXPECT_EQ(readWith({"StaticIoCtrlBusControl=FF"}), 1u);
    EXPECT_EQ(globalLastError(), 30024u);
    ASSERT_EQ(readWith({"StaticIoCtrlBusControl=0xa"}), 0u);
    EXPECT_EQ(spec_.ctrlBusDirection, 0x0A);
}

TEST_F(KcfFile, TheAddressParserReadsTheFileThatUsbfNames) {
    write("pod1.Kcf", {"Version=1.0.0.0", "InterfaceType=SerialNumber", "SerialNumber=POD1", "SubDevice=B"});
    KpxControllerSpec spec{};
    ASSERT_EQ(parseControllerAddress(&spec, "USBFpod1"), 0u);
    EXPECT_EQ(spec.flags, SPEC_CHANNEL_B | SPEC_DEFAULT_DESCRIPTION);
    EXPECT_EQ(text(spec.serialB), "POD1B");
    spec = KpxControllerSpec{};
    EXPECT_EQ(parseControllerAddress(&spec, "usbfmissing"), 1u);
    EXPECT_EQ(globalLastError(), 30014u);
    // The reader's own errors are the parser's.
    write("old.Kcf", {"Version=0.9"});
    EXPECT_EQ(parseControllerAddress(&spec, "USBFold"), 1u);
    EXPECT_EQ(globalLastError(), 30016u);
}

TEST_F(KcfFile, KcfDirWithoutASeparatorFindsTheFile) {
    write("board.Kcf", {"Version=1.0.0.0", "LogicalUnitNumber=9"});
    std::string saved;
    bool had = platform::getEnv("KCFDIR", saved);
    platform::setEnv("KCFDIR", dir_.string().c_str());
    setKcfDirectory(initialKcfDirectory());
    platform::setEnv("KCFDIR", had ? saved.c_str() : nullptr);
    KpxControllerSpec spec{};
    ASSERT_EQ(parseControllerAddress(&spec, "USBFboard"), 0u);
    EXPECT_EQ(spec.logicalUnitNumber, 9u);
}

}  // namespace
