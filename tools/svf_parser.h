// Serial Vector Format: the statements of a file, read into a program that the player runs.
//
// The parser resolves everything that does not depend on the controller: the carried-over
// TDI, MASK and SMASK values, the header and trailer bits around every scan, the end state of
// every scan and RUNTEST, and the TAP state before each statement (so that an explicit STATE
// path is checked before anything is sent).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dorvane::tools::svf {

// IEEE 1149.1 TAP controller states, by their SVF names.
enum class TapState : uint8_t {
    Reset, Idle, DrSelect, DrCapture, DrShift, DrExit1, DrPause, DrExit2, DrUpdate,
    IrSelect, IrCapture, IrShift, IrExit1, IrPause, IrExit2, IrUpdate,
};
const char* stateName(TapState s);
bool isStable(TapState s);   // RESET, IDLE, DRPAUSE, IRPAUSE
TapState nextState(TapState s, bool tms);

// A bit vector in the library's layout: bit k is bit k % 16 of word k / 16.
struct Bits {
    uint32_t count = 0;
    std::vector<uint16_t> words;
    bool bit(uint32_t k) const { return (words[k / 16] >> (k % 16)) & 1; }
};

struct Statement {
    enum class Kind : uint8_t { Scan, Frequency, RunTest, State, Trst };
    Kind kind = Kind::Scan;
    uint32_t line = 0;
    TapState before = TapState::Reset;   // the TAP's state when the statement starts

    // Scan (SIR/SDR with the headers and trailers in force): header bits first, then the
    // scan's own bits, then the trailer. expected/care are empty when nothing is compared
    // (care bit 1 = the TDO bit is checked).
    bool ir = false;
    TapState end = TapState::Idle;
    uint32_t ownBits = 0;   // the SIR/SDR length without header and trailer
    uint32_t headerBits = 0;
    std::shared_ptr<const Bits> tdi, expected, care;

    // RUNTEST: clock `tck` TCKs (and at least `minSeconds`) in runState, then go to end.
    TapState runState = TapState::Idle;
    uint64_t tck = 0;
    double minSeconds = 0, maxSeconds = -1;   // maxSeconds < 0: no MAXIMUM

    // STATE: the states to pass through, one TCK each, the last one stable. Without an
    // explicit path only the stable target is listed and the usual path is taken.
    std::vector<TapState> path;
    bool explicitPath = false;

    // FREQUENCY: hz 0 means full speed.
    double hz = 0;

    // TRST
    enum class Trst : uint8_t { On, Off, Z, Absent } trst = Trst::Off;
};

struct Program {
    std::vector<Statement> statements;
    uint64_t scanBits = 0;   // all scan bits, for progress reports
};

struct ParseError {
    uint32_t line = 0, column = 0;
    std::string message;
};

// Reads a whole SVF text. On failure returns false with the first error; nothing of a file
// with an error is ever played.
bool parse(const std::string& text, Program* program, ParseError* error);

}  // namespace dorvane::tools::svf
