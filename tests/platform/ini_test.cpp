// Profile files: reading files as Windows writes them, editing without disturbing the rest,
// and the checksummed structure form.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "test_support.h"

namespace dorvane::platform {
namespace {

using testing::readRaw;
using testing::ScratchDir;
using testing::writeRaw;

std::string get(const char* section, const char* key, const char* def, const std::string& file, uint32_t size = 256) {
    std::string buf(size, '\x7f');
    const uint32_t n = getProfileString(section, key, def, buf.data(), size, file.c_str());
    EXPECT_EQ(buf[n], '\0');
    return buf.substr(0, n);
}

class IniTest : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string file = dir.file("board.ini");
};

TEST_F(IniTest, ReadsValuesAsWindowsDoes) {
    writeRaw(file,
             "; a comment line\r\n"
             "[Other]\r\n"
             "Version=9\r\n"
             "\r\n"
             "  [ FT2232Kpx ]  \r\n"
             "Version = 1.0.0.0 \r\n"
             "\tTrstPin=CtrlBus5 \t\r\n"
             "DescriptionString=\"  Dual RS232  \"\r\n"
             "SubDevice='B'\r\n"
             "Half=\"open\r\n"
             "Mixed=\"a'\r\n"
             "Lone=\"\r\n"
             "Empty=\r\n"
             "NoValue\r\n"
             "Equals=a=b\r\n");
    EXPECT_EQ(get("ft2232kpx", "VERSION", "x", file), "1.0.0.0");
    EXPECT_EQ(get(" FT2232Kpx ", " trstpin ", "x", file), "CtrlBus5");
    EXPECT_EQ(get("FT2232Kpx", "DescriptionString", "", file), "  Dual RS232  ");
    EXPECT_EQ(get("FT2232Kpx", "SubDevice", "", file), "B");
    EXPECT_EQ(get("FT2232Kpx", "Half", "", file), "\"open");
    EXPECT_EQ(get("FT2232Kpx", "Mixed", "", file), "\"a'");
    EXPECT_EQ(get("FT2232Kpx", "Lone", "", file), "\"");
    EXPECT_EQ(get("FT2232Kpx", "Empty", "dflt", file), "");
    EXPECT_EQ(get("FT2232Kpx", "NoValue", "dflt", file), "dflt");
    EXPECT_EQ(get("FT2232Kpx", "Equals", "", file), "a=b");
    EXPECT_EQ(get("Other", "Version", "", file), "9");
}

TEST_F(IniTest, MissingThingsGiveTheDefault) {
    writeRaw(file, "[A]\nKey=1\n");
    EXPECT_EQ(get("A", "Other", "dflt", file), "dflt");
    EXPECT_EQ(get("B", "Key", "dflt", file), "dflt");
    EXPECT_EQ(get("A", "Key", "dflt", dir.file("missing.ini")), "dflt");
    EXPECT_EQ(get("A", "Other", "V 0   ", file), "V 0");   // the default's trailing blanks go
    EXPECT_EQ(get("A", "Other", nullptr, file), "");
    EXPECT_EQ(get("A", "", "dflt", file), "dflt");
    EXPECT_EQ(get("A", "Key", "dflt", dir.str()), "dflt");   // a directory is no profile
}

TEST_F(IniTest, LongValuesAreCutToTheBuffer) {
    writeRaw(file, "[A]\r\nKey=0123456789\r\n");
    EXPECT_EQ(get("A", "Key", "", file, 5), "0123");
    EXPECT_EQ(get("A", "Key", "", file, 1), "");
    EXPECT_EQ(getProfileString("A", "Key", "", nullptr, 10, file.c_str()), 0u);
}

TEST_F(IniTest, FirstSectionOfANameCounts) {
    writeRaw(file, "[A]\r\nKey=first\r\n[a]\r\nKey=second\r\nMore=2\r\n");
    EXPECT_EQ(get("A", "Key", "", file), "first");
    EXPECT_EQ(get("A", "More", "none", file), "none");
}

TEST_F(IniTest, ListsSectionsAndKeys) {
    writeRaw(file, "[A]\r\nOne=1\r\nTwo=2\r\n[B]\r\n");
    std::string buf(64, 'x');
    uint32_t n = getProfileString(nullptr, nullptr, "", buf.data(), 64, file.c_str());
    EXPECT_EQ(std::string(buf.data(), n + 1), std::string("A\0B\0\0", 5));
    n = getProfileString("a", nullptr, "", buf.data(), 64, file.c_str());
    EXPECT_EQ(std::string(buf.data(), n + 1), std::string("One\0Two\0\0", 9));
    n = getProfileString("A", nullptr, "", buf.data(), 6, file.c_str());   // cut: size - 2
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buf.data(), 6), std::string("One\0\0\0", 6));
}

TEST_F(IniTest, WritingCreatesTheFileWithCrLf) {
    ASSERT_TRUE(writeProfileString("Magic", "Version", "V1.0.0.0", file.c_str()));
    ASSERT_TRUE(writeProfileString("USB0,Dual RS232", "Clock", "0001", file.c_str()));
    ASSERT_TRUE(writeProfileString("Magic", "Other", "x", file.c_str()));
    EXPECT_EQ(readRaw(file), "[Magic]\r\nVersion=V1.0.0.0\r\nOther=x\r\n[USB0,Dual RS232]\r\nClock=0001\r\n");
    EXPECT_EQ(get("usb0,dual rs232", "clock", "", file), "0001");
}

TEST_F(IniTest, EditsKeepEverythingElse) {
    writeRaw(file,
             "; keep me\r\n"
             "[Magic]\r\n"
             "version = old\r\n"
             "Keep=1\r\n"
             "\r\n"
             "[Dev]\r\n"
             "Clock=AA\r\n"
             "Voltage=BB\r\n"
             "\r\n");
    ASSERT_TRUE(writeProfileString("MAGIC", "Version", "V1.0.0.0", file.c_str()));
    ASSERT_TRUE(writeProfileString("Magic", "Added", "2", file.c_str()));
    ASSERT_TRUE(writeProfileString("Dev", "Voltage", nullptr, file.c_str()));
    EXPECT_EQ(readRaw(file),
              "; keep me\r\n"
              "[Magic]\r\n"
              "version=V1.0.0.0\r\n"
              "Keep=1\r\n"
              "Added=2\r\n"
              "\r\n"
              "[Dev]\r\n"
              "Clock=AA\r\n"
              "\r\n");
}

TEST_F(IniTest, KeepsUnixLineEnds) {
    writeRaw(file, "[A]\nKey=1\n");
    ASSERT_TRUE(writeProfileString("A", "Key", "2", file.c_str()));
    EXPECT_EQ(readRaw(file), "[A]\nKey=2\n");
}

TEST_F(IniTest, DeletesSectionsAndKeys) {
    writeRaw(file, "[Magic]\r\nVersion=V1.0.0.0\r\n[Dev]\r\nClock=1\r\n[dev]\r\nClock=2\r\n[Tail]\r\nT=1\r\n");
    ASSERT_TRUE(writeProfileString("DEV", nullptr, nullptr, file.c_str()));
    EXPECT_EQ(readRaw(file), "[Magic]\r\nVersion=V1.0.0.0\r\n[Tail]\r\nT=1\r\n");
    const std::string before = readRaw(file);
    EXPECT_TRUE(writeProfileString("Dev", nullptr, nullptr, file.c_str()));     // nothing to delete
    EXPECT_TRUE(writeProfileString("Magic", "Nope", nullptr, file.c_str()));
    EXPECT_EQ(readRaw(file), before);
    EXPECT_TRUE(writeProfileString("Magic", "Nope", nullptr, dir.file("absent.ini").c_str()));
    EXPECT_FALSE(fileExists(dir.file("absent.ini")));
}

TEST_F(IniTest, RefusesWhatWouldBreakTheFile) {
    writeRaw(file, "[A]\r\nKey=1\r\n");
    const std::string before = readRaw(file);
    EXPECT_FALSE(writeProfileString("A", "Key", "two\r\nlines", file.c_str()));
    EXPECT_FALSE(writeProfileString("A", "K=ey", "v", file.c_str()));
    EXPECT_FALSE(writeProfileString("A]", "Key", "v", file.c_str()));
    EXPECT_FALSE(writeProfileString("", "Key", "v", file.c_str()));
    EXPECT_FALSE(writeProfileString(nullptr, "Key", "v", file.c_str()));
    EXPECT_FALSE(writeProfileString("A", "Key", "v", nullptr));
    EXPECT_EQ(readRaw(file), before);
    EXPECT_FALSE(writeProfileString("A", "Key", "v", dir.file("no/such/dir/x.ini").c_str()));
}

TEST_F(IniTest, PathsWithBackslashesWork) {
    const std::string nested = dir.str() + "\\Quillon\\devices";
    ASSERT_TRUE(createDirectory(nested));
    const std::string store = nested + "\\dorvane.ini";
    ASSERT_TRUE(writeProfileString("Magic", "Version", "V1.0.0.0", store.c_str()));
    EXPECT_EQ(get("Magic", "Version", "", store), "V1.0.0.0");
    EXPECT_TRUE(fileReadable(dir.str() + "/Quillon/devices/dorvane.ini"));
}

TEST_F(IniTest, StructuresRoundTripWithChecksum) {
    const uint8_t bytes[12] = {0x01, 0xAB, 0xFF, 0, 0, 0, 0, 0, 0x70, 0x17, 0, 0};
    ASSERT_TRUE(writeProfileStruct("Dev", "Clock", bytes, sizeof bytes, file.c_str()));
    // Upper-case hex, then the sum of the bytes modulo 256 (0x01+0xAB+0xFF+0x70+0x17 = 0x232).
    EXPECT_EQ(get("Dev", "Clock", "", file), "01ABFF00000000007017000032");
    uint8_t back[12] = {};
    ASSERT_TRUE(getProfileStruct("dev", "clock", back, sizeof back, file.c_str()));
    EXPECT_EQ(std::memcmp(back, bytes, sizeof bytes), 0);

    writeRaw(file, "[Dev]\r\nClock=0aff09\r\n");   // lower case reads too
    uint8_t two[2] = {};
    ASSERT_TRUE(getProfileStruct("Dev", "Clock", two, 2, file.c_str()));
    EXPECT_EQ(two[0], 0x0A);
    EXPECT_EQ(two[1], 0xFF);
}

TEST_F(IniTest, DamagedStructuresReadAsMissing) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    ASSERT_TRUE(writeProfileStruct("Dev", "Clock", bytes, 4, file.c_str()));
    uint8_t back[4] = {9, 9, 9, 9};
    const uint8_t untouched[4] = {9, 9, 9, 9};
    EXPECT_FALSE(getProfileStruct("Dev", "Clock", back, 3, file.c_str()));   // wrong size
    EXPECT_FALSE(getProfileStruct("Dev", "Clock", back, 5, file.c_str()));
    EXPECT_FALSE(getProfileStruct("Dev", "Other", back, 4, file.c_str()));
    for (const char* damaged : {"010203040B", "010203040", "0102030G0A", "\"010203040A\"", "010203040A00"}) {
        writeRaw(file, std::string("[Dev]\r\nClock=") + damaged + "\r\n");
        EXPECT_FALSE(getProfileStruct("Dev", "Clock", back, 4, file.c_str())) << damaged;
    }
    EXPECT_EQ(std::memcmp(back, untouched, 4), 0);
    writeRaw(file, "[Dev]\r\nClock= 010203040A \r\n");   // blanks around are not part of the value
    EXPECT_TRUE(getProfileStruct("Dev", "Clock", back, 4, file.c_str()));
}

TEST_F(IniTest, StructureCallsDeleteKeysAndSections) {
    writeRaw(file, "[Dev]\r\nClock=00\r\nVoltage=11\r\nThreshold=22\r\n[Keep]\r\nK=1\r\n");
    EXPECT_TRUE(writeProfileStruct("Dev", "Voltage", nullptr, 8, file.c_str()));
    EXPECT_TRUE(writeProfileStruct("Dev", "Threshold", nullptr, 8, file.c_str()));
    EXPECT_EQ(readRaw(file), "[Dev]\r\nClock=00\r\n[Keep]\r\nK=1\r\n");
    EXPECT_TRUE(writeProfileStruct("Dev", nullptr, nullptr, 0, file.c_str()));
    EXPECT_EQ(readRaw(file), "[Keep]\r\nK=1\r\n");
}

}  // namespace
}  // namespace dorvane::platform
