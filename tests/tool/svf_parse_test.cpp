// SVF reading: carried-over values, headers and trailers, RUNTEST defaults, refused input.
#include <gtest/gtest.h>

#include "../../tools/svf_parser.h"

using namespace dorvane::tools::svf;

namespace {

Program parsed(const std::string& text) {
    Program p;
    ParseError e;
    EXPECT_TRUE(parse(text, &p, &e)) << e.line << ":" << e.column << " " << e.message;
    return p;
}

uint64_t value(const std::shared_ptr<const Bits>& b) {
    uint64_t v = 0;
    for (uint32_t k = 0; b && k < b->count && k < 64; ++k) v |= uint64_t(b->bit(k)) << k;
    return v;
}

}  // namespace

TEST(SvfParse, ValuesCarryOverWhileTheLengthStays) {
    const Program p = parsed(
        "sdr 8 tdi (a5) mask(0F) ! lower case, comments\n;"
        "SDR 8 TDO(05);  // TDI and MASK come from the line above\n"
        "SDR 8;\n"
        "SDR 12 TDI(123) TDO(456);\n");
    ASSERT_EQ(p.statements.size(), 4u);
    EXPECT_EQ(value(p.statements[1].tdi), 0xA5u);
    EXPECT_EQ(value(p.statements[1].expected), 0x05u);
    EXPECT_EQ(value(p.statements[1].care), 0x0Fu);
    EXPECT_FALSE(p.statements[2].expected) << "TDO applies to its own statement only";
    EXPECT_FALSE(p.statements[3].care) << "a new length compares every bit";
}

TEST(SvfParse, HeadersAndTrailersSurroundTheScan) {
    // Header bits go first (they reach the devices nearest TDO), the trailer last.
    const Program p = parsed("HDR 2 TDI(3);\nTDR 3 TDI(0) TDO(5) MASK(6);\nENDDR DRPAUSE;\nSDR 4 TDI(A);\n"
                             "HDR 0;\nTDR 0;\nSDR 4 TDI(A);\n");
    ASSERT_EQ(p.statements.size(), 2u);
    const Statement& s = p.statements[0];
    EXPECT_EQ(s.tdi->count, 9u);
    EXPECT_EQ(value(s.tdi), 0x3u | 0xAu << 2);
    EXPECT_EQ(value(s.expected), 0x5u << 6);
    EXPECT_EQ(value(s.care), 0x6u << 6) << "only the trailer's TDO is compared, under its mask";
    EXPECT_EQ(s.headerBits, 2u);
    EXPECT_EQ(s.ownBits, 4u);
    EXPECT_EQ(s.end, TapState::DrPause);
    EXPECT_EQ(p.statements[1].tdi->count, 4u);
    EXPECT_EQ(p.statements[1].before, TapState::DrPause);
}

TEST(SvfParse, RunTestAndStateForms) {
    const Program p = parsed(
        "RUNTEST DRPAUSE 10 TCK;\n"                        // the run state is also the end state
        "RUNTEST 5 SCK 1.5E-3 SEC;\n"                      // both carried over; SCK counts no TCK
        "RUNTEST 2E-2 SEC MAXIMUM 3E-2 SEC ENDSTATE IDLE;\n"
        "STATE IDLE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;\n");
    ASSERT_EQ(p.statements.size(), 4u);
    EXPECT_EQ(p.statements[0].runState, TapState::DrPause);
    EXPECT_EQ(p.statements[0].end, TapState::DrPause);
    EXPECT_EQ(p.statements[0].tck, 10u);
    EXPECT_EQ(p.statements[1].runState, TapState::DrPause);
    EXPECT_EQ(p.statements[1].tck, 0u);
    EXPECT_DOUBLE_EQ(p.statements[1].minSeconds, 1.5e-3);
    EXPECT_EQ(p.statements[2].end, TapState::Idle);
    EXPECT_DOUBLE_EQ(p.statements[2].maxSeconds, 3e-2);
    EXPECT_TRUE(p.statements[3].explicitPath);
    EXPECT_EQ(p.statements[3].path.size(), 5u);
}

TEST(SvfParse, RefusedInputNamesLineAndColumn) {
    struct Case { const char* text; uint32_t line, column; const char* says; };
    const Case cases[] = {
        {"SIR 4 TDI(1);\nSIR 5 TDO(1);\n", 2, 1, "length changed from 4"},
        {"SDR 8 TDO(1);\n", 1, 1, "needs TDI"},
        {"SDR 12 TDI(12\n 3G);\n", 2, 3, "'G' is not a hex digit"},
        {"SDR 6 TDI(7F);\n", 1, 11, "beyond the length of 6"},
        {"SDR 8 TDI(1) TDI(2);\n", 1, 14, "given twice"},
        {"SDR 8 TDI(1\n;\n", 2, 1, "not closed"},
        {"SDR 8 TDI(1)", 1, 1, "has no ';'"},
        {"  FOO 1;\n", 1, 3, "unknown statement 'FOO'"},
        {"PIOMAP (IN A);\n", 1, 1, "not supported"},
        {"ENDIR IRSHIFT;\n", 1, 7, "not a stable state"},
        {"STATE IDLE DRPAUSE;\n", 1, 12, "does not follow IDLE"},
        {"STATE IDLE DRSELECT;\n", 1, 12, "not stable"},
        {"RUNTEST 1E-3 SEC MAXIMUM 1E-4 SEC;\n", 1, 26, "below the minimum"},
        {"RUNTEST 10 TCK ENDSTATE;\n", 1, 16, "needs a stable state"},
        {"FREQUENCY 1E6;\n", 1, 1, "followed by HZ"},
        {"TRST ON;\nSIR 4 TDI(1);\n", 2, 1, "TRST is held active"},
        {"TRST MAYBE;\n", 1, 6, "ON, OFF, Z or ABSENT"},
    };
    for (const Case& c : cases) {
        Program p;
        ParseError e;
        EXPECT_FALSE(parse(c.text, &p, &e)) << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_EQ(e.column, c.column) << c.text;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << c.text << " said: " << e.message;
        EXPECT_TRUE(p.statements.empty());
    }
}
