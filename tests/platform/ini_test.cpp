// Profile files: reading files as Windows writes them, editing without disturbing the rest,
// and the checksummed structure form.
#include <gtest/gtest.h>

#include <cstring>

#include "../shared/test_env.h"
#include "platform/platform.h"

namespace dorvane::platform {
namespace {

using testenv::readRaw;
using testenv::writeRaw;

std::string get(const char* section, const char* key, const char* def, const std::string& file, uint32_t size = 256) {
    std::string buf(size, '\x7f');
    const uint32_t n = getProfileString(section, key, def, buf.data(), size, file.c_str());
    return buf.substr(0, n);
}

class IniTest : public ::testing::Test {
protected:
    bool write(const char* section, const char* key, const char* value) {
        return writeProfileString(section, key, value, file.c_str());
    }
    testenv::ScratchDir dir;
    std::string file = dir.file("board.ini");
};

TEST_F(IniTest, ReadsValuesAsWindowsDoes) {
    writeRaw(file,
             "; a comment line\r\n[Other]\r\nVersion=9\r\n\r\n"
             "  [ FT2232Kpx ]  \r\n"
             "Version = 1.0.0.0 \r\n"
             "\tTrstPin=CtrlBus5 \t\r\n"
             "DescriptionString=\"  Dual RS232  \"\r\n"
             "SubDevice='B'\r\nHalf=\"open\r\nMixed=\"a'\r\nLone=\"\r\nEmpty=\r\nNoValue\r\nEquals=a=b\r\n"
             "[ft2232kpx]\r\nVersion=second\r\nMore=2\r\n");   // only the first section of a name counts
    struct Case { const char *section, *key, *def, *want; };
    const Case cases[] = {
        {"ft2232kpx", "VERSION", "x", "1.0.0.0"},   {" FT2232Kpx ", " trstpin ", "x", "CtrlBus5"},
        {"FT2232Kpx", "DescriptionString", "", "  Dual RS232  "},
        {"FT2232Kpx", "SubDevice", "", "B"},        {"FT2232Kpx", "Half", "", "\"open"},
        {"FT2232Kpx", "Mixed", "", "\"a'"},         {"FT2232Kpx", "Lone", "", "\""},
        {"FT2232Kpx", "Empty", "dflt", ""},         {"FT2232Kpx", "NoValue", "dflt", "dflt"},
        {"FT2232Kpx", "Equals", "", "a=b"},         {"Other", "Version", "", "9"},
        {"FT2232Kpx", "More", "none", "none"},      {"Nope", "Version", "dflt", "dflt"},
        {"Other", "Nope", "V 0   ", "V 0"},         // the default's trailing blanks go
        {"Other", "Nope", nullptr, ""},             {"Other", "", "dflt", "dflt"},
    };
    for (const Case& c : cases) EXPECT_EQ(get(c.section, c.key, c.def, file), c.want) << c.section << "/" << c.key;
    EXPECT_EQ(get("Other", "Version", "dflt", dir.file("missing.ini")), "dflt");
    EXPECT_EQ(get("Other", "Version", "dflt", dir.str()), "dflt");   // a directory is no profile
}

TEST_F(IniTest, CutsToTheBufferAndListsSectionsAndKeys) {
    writeRaw(file, "[A]\r\nOne=0123456789\r\nTwo=2\r\n[B]\r\n");
    EXPECT_EQ(get("A", "One", "", file, 5), "0123");
    EXPECT_EQ(get("A", "One", "", file, 1), "");
    EXPECT_EQ(getProfileString("A", "One", "", nullptr, 10, file.c_str()), 0u);
    std::string buf(64, 'x');
    uint32_t n = getProfileString(nullptr, nullptr, "", buf.data(), 64, file.c_str());
    EXPECT_EQ(std::string(buf.data(), n + 1), std::string("A\0B\0\0", 5));
    n = getProfileString("a", nullptr, "", buf.data(), 64, file.c_str());
    EXPECT_EQ(std::string(buf.data(), n + 1), std::string("One\0Two\0\0", 9));
    n = getProfileString("A", nullptr, "", buf.data(), 6, file.c_str());   // cut: size - 2
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buf.data(), 6), std::string("One\0\0\0", 6));
}

TEST_F(IniTest, WritesCreateEditAndDeleteKeepingEverythingElse) {
    ASSERT_TRUE(write("Magic", "Version", "V1.0.0.0"));
    ASSERT_TRUE(write("USB0,Dual RS232", "Clock", "0001"));
    ASSERT_TRUE(write("Magic", "Other", "x"));
    EXPECT_EQ(readRaw(file), "[Magic]\r\nVersion=V1.0.0.0\r\nOther=x\r\n[USB0,Dual RS232]\r\nClock=0001\r\n");

    writeRaw(file, "; keep me\r\n[Magic]\r\nversion = old\r\nKeep=1\r\n\r\n[Dev]\r\nClock=AA\r\nVoltage=BB\r\n\r\n");
    ASSERT_TRUE(write("MAGIC", "Version", "V1.0.0.0"));
    ASSERT_TRUE(write("Magic", "Added", "2"));
    ASSERT_TRUE(write("Dev", "Voltage", nullptr));
    EXPECT_EQ(readRaw(file), "; keep me\r\n[Magic]\r\nversion=V1.0.0.0\r\nKeep=1\r\nAdded=2\r\n\r\n[Dev]\r\nClock=AA\r\n\r\n");

    writeRaw(file, "[A]\nKey=1\n");   // Unix line ends stay
    ASSERT_TRUE(write("A", "Key", "2"));
    EXPECT_EQ(readRaw(file), "[A]\nKey=2\n");

    // A null key deletes every section of the name, a null value the key.
    writeRaw(file, "[Magic]\r\nVersion=V1.0.0.0\r\n[Dev]\r\nClock=1\r\n[dev]\r\nClock=2\r\n[Tail]\r\nT=1\r\n");
    ASSERT_TRUE(write("DEV", nullptr, nullptr));
    EXPECT_EQ(readRaw(file), "[Magic]\r\nVersion=V1.0.0.0\r\n[Tail]\r\nT=1\r\n");
    EXPECT_TRUE(write("Dev", nullptr, nullptr));   // nothing to delete
    EXPECT_TRUE(write("Magic", "Nope", nullptr));
    EXPECT_EQ(readRaw(file), "[Magic]\r\nVersion=V1.0.0.0\r\n[Tail]\r\nT=1\r\n");
    EXPECT_TRUE(writeProfileString("Magic", "Nope", nullptr, dir.file("absent.ini").c_str()));
    EXPECT_FALSE(fileExists(dir.file("absent.ini")));
}

TEST_F(IniTest, RefusesWhatWouldBreakTheFile) {
    writeRaw(file, "[A]\r\nKey=1\r\n");
    EXPECT_FALSE(write("A", "Key", "two\r\nlines"));
    EXPECT_FALSE(write("A", "K=ey", "v"));
    EXPECT_FALSE(write("A]", "Key", "v"));
    EXPECT_FALSE(write("", "Key", "v"));
    EXPECT_FALSE(write(nullptr, "Key", "v"));
    EXPECT_FALSE(writeProfileString("A", "Key", "v", nullptr));
    EXPECT_EQ(readRaw(file), "[A]\r\nKey=1\r\n");
    EXPECT_FALSE(writeProfileString("A", "Key", "v", dir.file("no/such/dir/x.ini").c_str()));
}

TEST_F(IniTest, StructuresAreHexWithAChecksumAndDamagedOnesReadAsMissing) {
    const uint8_t bytes[12] = {0x01, 0xAB, 0xFF, 0, 0, 0, 0, 0, 0x70, 0x17, 0, 0};
    ASSERT_TRUE(writeProfileStruct("Dev", "Clock", bytes, sizeof bytes, file.c_str()));
    // Upper-case hex, then the sum of the bytes modulo 256 (0x01+0xAB+0xFF+0x70+0x17 = 0x232).
    EXPECT_EQ(get("Dev", "Clock", "", file), "01ABFF00000000007017000032");
    writeRaw(file, "[Dev]\r\nClock=0aff09\r\n");   // lower case reads too
    uint8_t two[2] = {};
    ASSERT_TRUE(getProfileStruct("Dev", "Clock", two, 2, file.c_str()));
    EXPECT_EQ(two[0], 0x0A);
    EXPECT_EQ(two[1], 0xFF);

    // Damaged values, a wrong size or a missing key read as missing and leave the buffer alone.
    const uint8_t four[4] = {1, 2, 3, 4};
    ASSERT_TRUE(writeProfileStruct("Dev", "Clock", four, 4, file.c_str()));
    uint8_t kept[4] = {9, 9, 9, 9};
    EXPECT_FALSE(getProfileStruct("Dev", "Clock", kept, 3, file.c_str()));   // wrong size
    EXPECT_FALSE(getProfileStruct("Dev", "Clock", kept, 5, file.c_str()));
    EXPECT_FALSE(getProfileStruct("Dev", "Other", kept, 4, file.c_str()));
    for (const char* damaged : {"010203040B", "010203040", "0102030G0A", "\"010203040A\"", "010203040A00"}) {
        writeRaw(file, std::string("[Dev]\r\nClock=") + damaged + "\r\n");
        EXPECT_FALSE(getProfileStruct("Dev", "Clock", kept, 4, file.c_str())) << damaged;
    }
    EXPECT_EQ(std::memcmp(kept, "\x09\x09\x09\x09", 4), 0);   // untouched
    writeRaw(file, "[Dev]\r\nClock= 010203040A \r\n");   // blanks around are not part of the value
    EXPECT_TRUE(getProfileStruct("Dev", "Clock", kept, 4, file.c_str()));
}

}  // namespace
}  // namespace dorvane::platform
