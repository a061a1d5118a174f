// KCF files, written the way Windows tools write them (CR LF, "key=value"), read from a
// temporary KCF directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/errors.h"
#include "api/library.h"
#include "config/config.h"
#include "dorvane/dorvane.h"
#include "platform/platform.h"

using namespace dorvane;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

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

    // Writes the section with the given lines, CR LF terminated.
    void write(const std::string& name, const Lines& lines, const std::string& section = "[FT2232Kpx]") {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream out(dir_ / name, std::ios::binary);
        out << "; pod configuration\r\n" << section << "\r\n";
        for (const std::string& line : lines) out << line << "\r\n";
    }

    // Reads board.Kcf written with "Version=1.0.0.0" (unless told not to) and the given lines.
    uint32_t readWith(const Lines& lines, bool version = true, const std::string& section = "[FT2232Kpx]") {
        Lines all;
        if (version) all.push_back("Version=1.0.0.0");
        all.insert(all.end(), lines.begin(), lines.end());
        write("board.Kcf", all, section);
        addr_ = ControllerAddress{};
        recordError(nullptr, 0);
        return readKcfFile(&addr_, "board");
    }

    fs::path dir_;
    ControllerAddress addr_{};

private:
    std::string savedDir_;
};

std::string text(const char* s) { return s ? s : "(null)"; }

TEST_F(KcfFile, AVersionAloneSelectsLogicalUnitZeroWithTheDefaults) {
    ASSERT_EQ(readWith({}), 0u);
    EXPECT_EQ(addr_.flags, ADDRESS_BY_LOGICAL_UNIT | ADDRESS_DEFAULT_DESCRIPTION | ADDRESS_CHANNEL_A);
    EXPECT_EQ(addr_.logicalUnitNumber, 0u);
    EXPECT_EQ(text(addr_.descriptionBase), "Dual RS232");
    EXPECT_EQ(text(addr_.descriptionA), "Dual RS232 A");
    EXPECT_EQ(text(addr_.descriptionB), "Dual RS232 B");
    EXPECT_EQ(addr_.tapMode[1] | addr_.trstBus | addr_.trstMask, 0);
    EXPECT_EQ(addr_.dataBusDirection | addr_.dataBusValue | addr_.ctrlBusDirection | addr_.ctrlBusValue, 0);
    // Section and key names match in any case; blanks and enclosing quotes go.
    EXPECT_EQ(readWith({"  version = \"1.0.0.0\"  "}, false, "[ft2232kpx]"), 0u);
}

TEST_F(KcfFile, NamesGetTheKcfExtensionUnlessTheyCarryOne) {
    write("board.Kcf", {"Version=1.0.0.0", "LogicalUnitNumber=1"});
    write("board.ini", {"Version=1.0.0.0", "LogicalUnitNumber=2"});
    write("cfg.d/board.Kcf", {"Version=1.0.0.0", "LogicalUnitNumber=3"});
    struct Case { const char* name; uint32_t lun; };
    for (const Case& c : {Case{"board", 1}, Case{"board.ini", 2}, Case{"cfg.d/board", 3}, Case{"cfg.d\\board", 3}}) {
        ControllerAddress addr{};
        ASSERT_EQ(readKcfFile(&addr, c.name), 0u) << c.name;
        EXPECT_EQ(addr.logicalUnitNumber, c.lun) << c.name;
    }
    ControllerAddress addr{};
    EXPECT_EQ(readKcfFile(&addr, "board.cfg"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_NOT_FOUND);
    EXPECT_EQ(x_kpxErrorNbr(0), 316);
    EXPECT_STREQ(x_kpxErrorMsg(0), "KCF file not found");
    // A directory of that name is not readable.
    fs::create_directories(dir_ / "pods.Kcf");
    EXPECT_EQ(readKcfFile(&addr, "pods"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_NO_READ_ACCESS);
    EXPECT_STREQ(x_kpxErrorMsg(0), "no read access KCF file");
}

TEST_F(KcfFile, AnUnreadableFileIsReportedAsSuch) {
    write("locked.Kcf", {"Version=1.0.0.0"});
    fs::permissions(dir_ / "locked.Kcf", fs::perms::none);
    if (std::ifstream(dir_ / "locked.Kcf").is_open()) GTEST_SKIP() << "permissions do not bind this user";
    ControllerAddress addr{};
    EXPECT_EQ(readKcfFile(&addr, "locked"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_NO_READ_ACCESS);
}

TEST_F(KcfFile, EachBadEntryFailsWithItsOwnError) {
    struct Case { Lines lines; uint32_t code; bool version = true; };
    std::vector<Case> cases = {
        {{"Version=1.0.0.1"}, 30016, false},
        {{"InterfaceType=LogicalUnitNumber"}, 30016, false},
        {{"Tap1Mode=SWD"}, 30017},
        {{"Tap1Mode=BSCAN2SWD", "SwdConnect=Sometimes"}, 30017},
        {{"InterfaceType=USB"}, 30018},
        {{"InterfaceType=SerialNumber", "SerialNumber=FT12345678901ZX"}, 30020},
        {{"InterfaceType=SerialNumber"}, 30020},
        {{"InterfaceType=SerialNumber", "SerialNumber=\"\""}, 30020},
        {{"DescriptionString=" + std::string(62, 'x')}, 30021},
        {{"SubDevice=AB"}, 30022},
        {{"StaticIoCtrlBusControl=FF"}, 30024},
        {{"StaticIoDataBusControl=0xF0", "StaticIoDataBusValue=0x1FF"}, 30025},
    };
    for (const char* bad : {"3x", "3 4", "-1", "0x10"})
        cases.push_back({{std::string("LogicalUnitNumber=") + bad}, 30019});
    for (const char* bad : {"DataBus3", "CtrlBus8", "DataBus45", "DataBus", "Data", "AddrBus5", "CtrlBusX"})
        cases.push_back({{std::string("TrstPin=") + bad}, 30023});
    // Hexadecimal values are 0x with one or two digits.
    for (const char* bad : {"0x1FF", "FF", "0X1F", "0x", "0x G", "0x-1", "0x 5", "x1F"}) {
        cases.push_back({{std::string("StaticIoDataBusControl=") + bad}, 30024});
        cases.push_back({{"StaticIoCtrlBusControl=0x1", std::string("StaticIoCtrlBusValue=") + bad}, 30025});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(readWith(c.lines, c.version), 1u) << c.lines.back();
        EXPECT_EQ(globalLastError(), c.code) << c.lines.back();
    }
    EXPECT_EQ(readWith({"Version=1.0.0.0"}, false, "[Other]"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_VERSION);
}

TEST_F(KcfFile, ModeInterfaceAndChannel) {
    struct Case { const char* line; int tapMode; };
    for (const Case& c : {Case{"Tap1Mode=bscan2swd", 1}, Case{"TAP1MODE=BScan", 0}, Case{"Tap1Mode=   ", 0},
                          Case{"Tap2Mode=nonsense", 0}}) {  // only TAP 1 is read
        ASSERT_EQ(readWith({c.line}), 0u) << c.line;
        EXPECT_EQ(addr_.tapMode[1], c.tapMode) << c.line;
    }
    ASSERT_EQ(readWith({"InterfaceType=logicalunitnumber", "LogicalUnitNumber=3"}), 0u);
    EXPECT_EQ(addr_.flags & ADDRESS_BY_LOGICAL_UNIT, ADDRESS_BY_LOGICAL_UNIT);
    EXPECT_EQ(addr_.logicalUnitNumber, 3u);
    // Any single character other than A or B: a single-channel device such as an FT232H.
    struct Channel { const char* line; uint32_t flags; };
    for (const Channel& c : {Channel{"SubDevice=b", ADDRESS_CHANNEL_B}, Channel{"SubDevice=A", ADDRESS_CHANNEL_A},
                             Channel{"SubDevice=2", 0}}) {
        ASSERT_EQ(readWith({c.line}), 0u) << c.line;
        EXPECT_EQ(addr_.flags & (ADDRESS_CHANNEL_A | ADDRESS_CHANNEL_B), c.flags) << c.line;
    }
}

TEST_F(KcfFile, SerialNumbersAndDescriptions) {
    ASSERT_EQ(readWith({"InterfaceType=SerialNumber", "SerialNumber=FT12345678901Z"}), 0u);
    EXPECT_EQ(addr_.flags & ADDRESS_BY_LOGICAL_UNIT, 0u);
    EXPECT_EQ(text(addr_.serial), "FT12345678901Z");
    EXPECT_EQ(text(addr_.serialA), "FT12345678901ZA");
    EXPECT_EQ(text(addr_.serialB), "FT12345678901ZB");
    // The logical unit number is not read when selecting by serial number.
    ASSERT_EQ(readWith({"InterfaceType=serialnumber", "SerialNumber=AB 12", "LogicalUnitNumber=junk"}), 0u);
    EXPECT_EQ(text(addr_.serial), "AB 12");

    ASSERT_EQ(readWith({"DescriptionString=My Pod"}), 0u);
    EXPECT_EQ(addr_.flags & ADDRESS_DEFAULT_DESCRIPTION, 0u);
    EXPECT_EQ(text(addr_.descriptionBase), "My Pod");
    EXPECT_EQ(text(addr_.descriptionA), "My Pod A");
    EXPECT_EQ(text(addr_.descriptionB), "My Pod B");
    std::string longest(61, 'x');
    ASSERT_EQ(readWith({"DescriptionString=" + longest}), 0u);
    EXPECT_EQ(text(addr_.descriptionB), longest + " B");
}

TEST_F(KcfFile, TrstPinAndStaticIo) {
    struct Case { Lines lines; int trstBus, trstMask, dataDir, dataValue, ctrlDir, ctrlValue; };
    const Case cases[] = {
        {{"TrstPin=ctrlbus5"}, 2, 0x20, 0, 0, 0, 0},
        {{"TrstPin=CtrlBus5 "}, 2, 0x20, 0, 0, 0, 0},
        {{"TrstPin=DATABUS4"}, 1, 0x10, 0, 0, 0, 0},
        {{"TrstPin=CtrlBus0"}, 2, 0x01, 0, 0, 0, 0},
        // Static I/O spares the JTAG pins and TRST.
        {{"TrstPin=DataBus5", "StaticIoDataBusControl=0xFF", "StaticIoDataBusValue=0xff"}, 1, 0x20, 0xD0, 0xD0, 0, 0},
        {{"StaticIoDataBusControl=0x3", "StaticIoDataBusValue=0x1"}, 0, 0, 0, 0, 0, 0},
        {{"TrstPin=CtrlBus2", "StaticIoCtrlBusControl=0xff", "StaticIoCtrlBusValue=0x0F"}, 2, 0x04, 0, 0, 0xFB, 0x0B},
        {{"StaticIoCtrlBusControl=0xa"}, 0, 0, 0, 0, 0x0A, 0},
        // A value without its control key is not read.
        {{"StaticIoDataBusValue=0xF0"}, 0, 0, 0, 0, 0, 0},
        {{"StaticIoDataBusValue=junk"}, 0, 0, 0, 0, 0, 0},
        {{"StaticIoCtrlBusValue=0x0F"}, 0, 0, 0, 0, 0, 0},
        // In SWD bridge mode TRST is ignored and data bus bit 0 is free.
        {{"Tap1Mode=BSCAN2SWD", "TrstPin=DataBus5", "StaticIoDataBusControl=0xFF", "StaticIoDataBusValue=0x21"},
         0, 0, 0xF1, 0x21, 0, 0},
        {{"Tap1Mode=BSCAN2SWD", "TrstPin=nonsense"}, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(readWith(c.lines), 0u) << c.lines.back();
        EXPECT_EQ(addr_.trstBus, c.trstBus) << c.lines.back();
        EXPECT_EQ(addr_.trstMask, c.trstMask) << c.lines.back();
        EXPECT_EQ(addr_.dataBusDirection, c.dataDir) << c.lines.back();
        EXPECT_EQ(addr_.dataBusValue, c.dataValue) << c.lines.back();
        EXPECT_EQ(addr_.ctrlBusDirection, c.ctrlDir) << c.lines.back();
        EXPECT_EQ(addr_.ctrlBusValue, c.ctrlValue) << c.lines.back();
    }
}

TEST_F(KcfFile, TheAddressParserReadsTheFileThatUsbfNames) {
    write("pod1.Kcf", {"Version=1.0.0.0", "InterfaceType=SerialNumber", "SerialNumber=POD1", "SubDevice=B"});
    ControllerAddress addr{};
    ASSERT_EQ(parseControllerAddress(&addr, "USBFpod1"), 0u);
    EXPECT_EQ(addr.flags, ADDRESS_CHANNEL_B | ADDRESS_DEFAULT_DESCRIPTION);
    EXPECT_EQ(text(addr.serialB), "POD1B");
    addr = ControllerAddress{};
    EXPECT_EQ(parseControllerAddress(&addr, "usbfmissing"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_NOT_FOUND);
    // The reader's own errors are the parser's.
    write("old.Kcf", {"Version=0.9"});
    EXPECT_EQ(parseControllerAddress(&addr, "USBFold"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_VERSION);
}

TEST_F(KcfFile, KcfDirWithoutASeparatorFindsTheFile) {
    write("board.Kcf", {"Version=1.0.0.0", "LogicalUnitNumber=9"});
    std::string saved;
    bool had = platform::getEnv("KCFDIR", saved);
    platform::setEnv("KCFDIR", dir_.string().c_str());
    setKcfDirectory(initialKcfDirectory());
    platform::setEnv("KCFDIR", had ? saved.c_str() : nullptr);
    ControllerAddress addr{};
    ASSERT_EQ(parseControllerAddress(&addr, "USBFboard"), 0u);
    EXPECT_EQ(addr.logicalUnitNumber, 9u);
}

}  // namespace
