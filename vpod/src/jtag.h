// IEEE 1149.1 TAP controllers and a chain of them, stepped one TCK at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vpod/control.h"

namespace vpod::detail {

using control::TapState;

// A shift register kept as one byte per bit in a ring, so one TCK costs O(1).
struct ShiftRing {
    std::vector<uint8_t> bits;
    unsigned head = 0;
    unsigned length() const { return static_cast<unsigned>(bits.size()); }
    uint8_t out() const { return bits[head]; }
    void shift(uint8_t in) {
        bits[head] = in;
        if (++head == bits.size()) head = 0;
    }
    void load(const std::vector<uint8_t>& v) { bits = v; head = 0; }
    std::vector<uint8_t> value() const;   // logical bit order, bit 0 first
};

struct DataRegister {
    std::string name;
    unsigned length = 1;
    std::vector<uint8_t> capture;      // one byte per bit
    std::vector<uint8_t> lastUpdate;   // one byte per bit
    uint64_t captures = 0, updates = 0;
};

struct TapConfig {
    std::string name;
    unsigned irLength = 4;
    bool hasIdcode = false;
    uint32_t idcode = 0;
    uint64_t irCapture = 1;            // low two bits forced to 01
    uint64_t idcodeInstruction = 1;
    uint64_t sampleInstruction = 2;
    uint64_t extestInstruction = 0;
    unsigned boundaryLength = 0;
    std::vector<uint8_t> boundaryCapture;   // one byte per bit
    struct User { std::string name; uint64_t opcode; unsigned length; std::vector<uint8_t> capture; };
    std::vector<User> users;
};

class Tap {
public:
    explicit Tap(const TapConfig& cfg);
    void reset();                       // Test-Logic-Reset entry (TMS or TRST)
    void falling();                     // Update actions; TDO takes the new shift bit
    void rising(bool tms, bool tdi);    // Capture, Shift, state change
    bool tdoDriven() const { return tdoDriven_; }
    bool tdo() const { return tdo_; }

    const TapConfig& config() const { return cfg_; }
    TapState state() const { return state_; }
    uint64_t instruction() const { return instruction_; }
    const DataRegister& selected() const { return regs_[selected_]; }
    DataRegister* findRegister(const std::string& name);
    uint64_t irUpdates() const { return irUpdates_; }
    uint64_t resets() const { return resets_; }

private:
    int registerFor(uint64_t opcode) const;
    TapConfig cfg_;
    std::vector<DataRegister> regs_;    // 0 BYPASS, then IDCODE, BOUNDARY, user registers
    std::vector<std::pair<uint64_t, int>> decode_;
    TapState state_ = TapState::TestLogicReset;
    uint64_t instruction_ = 0;
    int selected_ = 0;
    ShiftRing ir_, dr_;
    bool tdo_ = true, tdoDriven_ = false;
    uint64_t irUpdates_ = 0, resets_ = 0;
};

TapState nextState(TapState s, bool tms);

// TAPs from the TDO end: tap 0 drives the pod's TDO, the last one receives the pod's TDI.
class JtagChain {
public:
    std::vector<Tap> taps;
    void trst() { for (auto& t : taps) t.reset(); }
    void falling() { for (auto& t : taps) t.falling(); }
    void rising(bool tms, bool tdi) {
        // Every TAP samples what its neighbour presented since the last falling edge.
        for (size_t i = 0; i < taps.size(); ++i) {
            bool in = tdi;
            if (i + 1 < taps.size()) in = taps[i + 1].tdoDriven() ? taps[i + 1].tdo() : true;
            taps[i].rising(tms, in);
        }
    }
    // Undriven TDO floats high (pull-up).
    bool tdo() const { return taps.empty() ? true : (taps[0].tdoDriven() ? taps[0].tdo() : true); }
};

}  // namespace vpod::detail
