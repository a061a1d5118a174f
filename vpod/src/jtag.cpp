#include "jtag.h"

namespace vpod::detail {

std::vector<uint8_t> ShiftRing::value() const {
    std::vector<uint8_t> v(bits.size());
    for (size_t i = 0; i < bits.size(); ++i) v[i] = bits[(head + i) % bits.size()];
    return v;
}

TapState nextState(TapState s, bool tms) {
    using S = TapState;
    switch (s) {
    case S::TestLogicReset: return tms ? S::TestLogicReset : S::RunTestIdle;
    case S::RunTestIdle: return tms ? S::SelectDrScan : S::RunTestIdle;
    case S::SelectDrScan: return tms ? S::SelectIrScan : S::CaptureDr;
    case S::CaptureDr: return tms ? S::Exit1Dr : S::ShiftDr;
    case S::ShiftDr: return tms ? S::Exit1Dr : S::ShiftDr;
    case S::Exit1Dr: return tms ? S::UpdateDr : S::PauseDr;
    case S::PauseDr: return tms ? S::Exit2Dr : S::PauseDr;
    case S::Exit2Dr: return tms ? S::UpdateDr : S::ShiftDr;
    case S::UpdateDr: return tms ? S::SelectDrScan : S::RunTestIdle;
    case S::SelectIrScan: return tms ? S::TestLogicReset : S::CaptureIr;
    case S::CaptureIr: return tms ? S::Exit1Ir : S::ShiftIr;
    case S::ShiftIr: return tms ? S::Exit1Ir : S::ShiftIr;
    case S::Exit1Ir: return tms ? S::UpdateIr : S::PauseIr;
    case S::PauseIr: return tms ? S::Exit2Ir : S::PauseIr;
    case S::Exit2Ir: return tms ? S::UpdateIr : S::ShiftIr;
    case S::UpdateIr: return tms ? S::SelectDrScan : S::RunTestIdle;
    }
    return S::TestLogicReset;
}

static std::vector<uint8_t> bitsOf(uint64_t v, unsigned n) {
    std::vector<uint8_t> b(n);
    for (unsigned i = 0; i < n; ++i) b[i] = i < 64 ? static_cast<uint8_t>((v >> i) & 1) : 0;
    return b;
}

Tap::Tap(const TapConfig& cfg) : cfg_(cfg) {
    DataRegister bypass;
    bypass.name = "BYPASS";
    bypass.length = 1;
    bypass.capture = {0};
    regs_.push_back(bypass);
    const uint64_t allOnes = cfg_.irLength >= 64 ? ~0ull : ((1ull << cfg_.irLength) - 1);
    decode_.emplace_back(allOnes, 0);
    if (cfg_.hasIdcode) {
        DataRegister id;
        id.name = "IDCODE";
        id.length = 32;
        id.capture = bitsOf(cfg_.idcode, 32);
        regs_.push_back(id);
        decode_.emplace_back(cfg_.idcodeInstruction, static_cast<int>(regs_.size() - 1));
    }
    if (cfg_.boundaryLength) {
        DataRegister bs;
        bs.name = "BOUNDARY";
        bs.length = cfg_.boundaryLength;
        bs.capture = cfg_.boundaryCapture;
        bs.capture.resize(bs.length, 0);
        regs_.push_back(bs);
        decode_.emplace_back(cfg_.sampleInstruction, static_cast<int>(regs_.size() - 1));
        decode_.emplace_back(cfg_.extestInstruction, static_cast<int>(regs_.size() - 1));
    }
    for (const auto& u : cfg_.users) {
        DataRegister r;
        r.name = u.name;
        r.length = u.length;
        r.capture = u.capture;
        r.capture.resize(r.length, 0);
        regs_.push_back(r);
        decode_.emplace_back(u.opcode, static_cast<int>(regs_.size() - 1));
    }
    ir_.load(bitsOf(cfg_.irCapture, cfg_.irLength));
    dr_.load({0});
    reset();
    resets_ = 0;
}

int Tap::registerFor(uint64_t opcode) const {
    // The first match wins so that BYPASS (all ones) cannot be redefined; unknown codes act as BYPASS.
    for (const auto& d : decode_)
        if (d.first == opcode) return d.second;
    return 0;
}

DataRegister* Tap::findRegister(const std::string& name) {
    for (auto& r : regs_)
        if (r.name == name) return &r;
    return nullptr;
}

void Tap::reset() {
    state_ = TapState::TestLogicReset;
    instruction_ = cfg_.hasIdcode ? cfg_.idcodeInstruction
                                  : (cfg_.irLength >= 64 ? ~0ull : ((1ull << cfg_.irLength) - 1));
    selected_ = registerFor(instruction_);
    tdoDriven_ = false;
    ++resets_;
}

void Tap::falling() {
    switch (state_) {
    case TapState::UpdateIr: {
        uint64_t v = 0;
        auto bits = ir_.value();
        for (unsigned i = 0; i < bits.size() && i < 64; ++i) v |= static_cast<uint64_t>(bits[i]) << i;
        instruction_ = v;
        selected_ = registerFor(v);
        ++irUpdates_;
        break;
    }
    case TapState::UpdateDr: {
        DataRegister& r = regs_[selected_];
        if (dr_.length() == r.length) {
            r.lastUpdate = dr_.value();
            ++r.updates;
        }
        break;
    }
    default:
        break;
    }
    if (state_ == TapState::ShiftDr) { tdo_ = dr_.out(); tdoDriven_ = true; }
    else if (state_ == TapState::ShiftIr) { tdo_ = ir_.out(); tdoDriven_ = true; }
    else tdoDriven_ = false;
}

void Tap::rising(bool tms, bool tdi) {
    switch (state_) {
    case TapState::CaptureIr:
        ir_.load(bitsOf((cfg_.irCapture & ~3ull) | 1ull, cfg_.irLength));
        break;
    case TapState::ShiftIr:
        ir_.shift(tdi);
        break;
    case TapState::CaptureDr: {
        DataRegister& r = regs_[selected_];
        dr_.load(r.capture);
        ++r.captures;
        break;
    }
    case TapState::ShiftDr:
        dr_.shift(tdi);
        break;
    default:
        break;
    }
    TapState next = nextState(state_, tms);
    if (next == TapState::TestLogicReset && state_ != TapState::TestLogicReset) reset();
    else state_ = next;
}

}  // namespace vpod::detail
