// KCF files, written the way Windows tools write them (CR LF, "key=value"), read from a
// temporary KCF directory named with a trailing backslash, as the library forms it from "KCFDIR".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../shared/test_env.h"
#include "config/config.h"
#include "core/errors.h"
#include "platform/platform.h"

using namespace dorvane;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

class KcfFile : public ::testing::Test {
protected:
    void SetUp() override { setKcfDirectory(dir_.string() + "\\"); }
    void TearDown() override { setKcfDirectory(savedDir_); }

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

    // The code reading name ends in, 0 when it is read.
    uint32_t readError(const std::string& name) {
        ControllerAddress addr{};
        recordError(nullptr, 0);
        return readKcfFile(&addr, name.c_str()) ? globalLastError() : 0;
    }

    testenv::ScratchDir scratch_;
    fs::path dir_ = scratch_.str();
    ControllerAddress addr_{};

private:
    std::string savedDir_ = kcfDirectory();
};

std::string text(const char* s) { return s ? s : "(null)"; }

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
    EXPECT_EQ(readError("board.cfg"), err::KCF_NOT_FOUND);
    fs::create_directories(dir_ / "pods.Kcf");   // a directory of that name is not readable
    EXPECT_EQ(readError("pods"), err::KCF_NO_READ_ACCESS);
    write("old.Kcf", {"Version=0.9"});
    EXPECT_EQ(readError("old"), err::KCF_VERSION);
    ControllerAddress addr{};   // the reader's errors are the address parser's
    recordError(nullptr, 0);
    EXPECT_EQ(parseControllerAddress(&addr, "USBFold"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_VERSION);
    write("locked.Kcf", {"Version=1.0.0.0"});
    fs::permissions(dir_ / "locked.Kcf", fs::perms::none);
    if (!std::ifstream(dir_ / "locked.Kcf").is_open()) {   // where permissions bind this user
        EXPECT_EQ(readError("locked"), err::KCF_NO_READ_ACCESS);
    }
}

TEST_F(KcfFile, EachBadEntryFailsWithItsOwnError) {
    struct Case { Lines lines; uint32_t code; bool version = true; };
    std::vector<Case> cases = {
        {{"Version=1.0.0.1"}, err::KCF_VERSION, false},
        {{"InterfaceType=LogicalUnitNumber"}, err::KCF_VERSION, false},
        {{"Tap1Mode=SWD"}, err::KCF_MODE},
        {{"Tap1Mode=BSCAN2SWD", "SwdConnect=Sometimes"}, err::KCF_MODE},
        {{"InterfaceType=USB"}, err::KCF_INTERFACE_TYPE},
        {{"InterfaceType=SerialNumber", "SerialNumber=FT12345678901ZX"}, err::KCF_SERIAL},
        {{"InterfaceType=SerialNumber"}, err::KCF_SERIAL},
        {{"DescriptionString=" + std::string(62, 'x')}, err::KCF_DESCRIPTION},
        {{"SubDevice=AB"}, err::KCF_SUB_DEVICE},
        {{"StaticIoCtrlBusControl=FF"}, err::KCF_STATIC_CONTROL},
        {{"StaticIoDataBusControl=0xF0", "StaticIoDataBusValue=0x1FF"}, err::KCF_STATIC_VALUE},
    };
    for (const char* bad : {"3x", "3 4", "-1", "0x10"})
        cases.push_back({{std::string("LogicalUnitNumber=") + bad}, err::KCF_LUN});
    for (const char* bad : {"DataBus3", "CtrlBus8", "DataBus45", "DataBus", "Data", "AddrBus5", "CtrlBusX"})
        cases.push_back({{std::string("TrstPin=") + bad}, err::KCF_TRST_PIN});
    // Hexadecimal values are 0x with one or two digits.
    for (const char* bad : {"0x1FF", "FF", "0X1F", "0x", "0x G", "0x-1", "0x 5", "x1F"}) {
        cases.push_back({{std::string("StaticIoDataBusControl=") + bad}, err::KCF_STATIC_CONTROL});
        cases.push_back({{"StaticIoCtrlBusControl=0x1", std::string("StaticIoCtrlBusValue=") + bad}, err::KCF_STATIC_VALUE});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(readWith(c.lines, c.version), 1u) << c.lines.back();
        EXPECT_EQ(globalLastError(), c.code) << c.lines.back();
    }
    EXPECT_EQ(readWith({"Version=1.0.0.0"}, false, "[Other]"), 1u);
    EXPECT_EQ(globalLastError(), err::KCF_VERSION);
}

// What the device selection takes from a file: B descriptions and serial numbers are formed
// from the base ones with " B" / "B" added.
TEST_F(KcfFile, ModeInterfaceChannelSerialNumberAndDescription) {
    struct Case { Lines lines; uint32_t flags, logicalUnit; std::string serial, description; int tapMode = 0; };
    constexpr uint32_t kByUnitDefaults = ADDRESS_BY_LOGICAL_UNIT | ADDRESS_DEFAULT_DESCRIPTION;
    const std::string dual = "Dual RS232", x61(61, 'x');
    const std::vector<Case> cases = {
        {{}, kByUnitDefaults | ADDRESS_CHANNEL_A, 0, "", dual},
        {{"Tap1Mode=bscan2swd"}, kByUnitDefaults | ADDRESS_CHANNEL_A, 0, "", dual, 1},
        {{"TAP1MODE=BScan"}, kByUnitDefaults | ADDRESS_CHANNEL_A, 0, "", dual, 0},
        {{"Tap1Mode=   "}, kByUnitDefaults | ADDRESS_CHANNEL_A, 0, "", dual, 0},
        {{"Tap2Mode=nonsense"}, kByUnitDefaults | ADDRESS_CHANNEL_A, 0, "", dual, 0},   // only TAP 1 is read
        {{"InterfaceType=logicalunitnumber", "LogicalUnitNumber=3"}, kByUnitDefaults | ADDRESS_CHANNEL_A, 3, "", dual},
        // Any single character other than A or B: a single-channel device such as an FT232H.
        {{"SubDevice=b"}, kByUnitDefaults | ADDRESS_CHANNEL_B, 0, "", dual},
        {{"SubDevice=2"}, kByUnitDefaults, 0, "", dual},
        {{"InterfaceType=SerialNumber", "SerialNumber=FT12345678901Z"},
         ADDRESS_DEFAULT_DESCRIPTION | ADDRESS_CHANNEL_A, 0, "FT12345678901Z", dual},
        // The logical unit number is not read when selecting by serial number.
        {{"InterfaceType=serialnumber", "SerialNumber=AB 12", "LogicalUnitNumber=junk"},
         ADDRESS_DEFAULT_DESCRIPTION | ADDRESS_CHANNEL_A, 0, "AB 12", dual},
        {{"DescriptionString=My Pod"}, ADDRESS_BY_LOGICAL_UNIT | ADDRESS_CHANNEL_A, 0, "", "My Pod"},
        {{"DescriptionString=" + x61}, ADDRESS_BY_LOGICAL_UNIT | ADDRESS_CHANNEL_A, 0, "", x61},
    };
    for (const Case& c : cases) {
        const std::string what = c.lines.empty() ? "a version alone" : c.lines.back();
        ASSERT_EQ(readWith(c.lines), 0u) << what;
        EXPECT_EQ(addr_.flags, c.flags) << what;
        EXPECT_EQ(addr_.tapMode[1], c.tapMode) << what;
        if (c.serial.empty()) {
            EXPECT_EQ(addr_.logicalUnitNumber, c.logicalUnit) << what;
        } else {
            EXPECT_EQ(text(addr_.serial), c.serial) << what;
            EXPECT_EQ(text(addr_.serialA), c.serial + "A") << what;
            EXPECT_EQ(text(addr_.serialB), c.serial + "B") << what;
        }
        EXPECT_EQ(text(addr_.descriptionBase), c.description) << what;
        EXPECT_EQ(text(addr_.descriptionA), c.description + " A") << what;
        EXPECT_EQ(text(addr_.descriptionB), c.description + " B") << what;
    }
}

TEST_F(KcfFile, TrstPinAndStaticIo) {
    struct Case { Lines lines; int trstBus, trstMask, dataDir, dataValue, ctrlDir, ctrlValue; };
    const Case cases[] = {
        {{}, 0, 0, 0, 0, 0, 0},
        {{"TrstPin=ctrlbus5"}, 2, 0x20, 0, 0, 0, 0},
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
        const std::string what = c.lines.empty() ? "a version alone" : c.lines.back();
        ASSERT_EQ(readWith(c.lines), 0u) << what;
        EXPECT_EQ(addr_.trstBus, c.trstBus) << what;
        EXPECT_EQ(addr_.trstMask, c.trstMask) << what;
        EXPECT_EQ(addr_.dataBusDirection, c.dataDir) << what;
        EXPECT_EQ(addr_.dataBusValue, c.dataValue) << what;
        EXPECT_EQ(addr_.ctrlBusDirection, c.ctrlDir) << what;
        EXPECT_EQ(addr_.ctrlBusValue, c.ctrlValue) << what;
    }
}

}  // namespace
