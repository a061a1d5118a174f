#include "swd.h"

#include <bit>
#include <cstring>

namespace vpod::detail {

namespace {
constexpr uint8_t kAckOk = 1, kAckWait = 2, kAckFault = 4;   // first bit on the wire = bit 0
bool parity32(uint32_t v) { return std::popcount(v) & 1; }
}  // namespace

SwdTarget::SwdTarget(const SwdConfig& cfg)
    : cfg_(cfg), ram_(cfg.ramSize, 0),
      mode_(cfg.dormant ? Mode::Dormant : cfg.requireSwitch ? Mode::Jtag : Mode::Swd), phase_(Lockout) {
    injectWait(cfg.waitAccesses, cfg.waitAfter);
    if (cfg.faultArmed) injectFault(cfg.faultAfter);
    badParity_ = cfg.writeParityErrors;
}

void SwdTarget::injectFault(unsigned after) {
    faultArmed_ = after != 0;
    faultSkip_ = after;
    if (!after) ctrlStat_ |= kStickyErr;
}

void SwdTarget::lineReset() {
    // 50 or more ones: the DP waits for idle bits and then a DPIDR read.
    if (phase_ != ResetState) ++lineResets_;
    phase_ = ResetState;
    driving_ = false;
    needDpidr_ = true;
}

void SwdTarget::watchSwitch(bool bit) {
    // Each sequence starts with a 0 after a run of ones: 50 for the 16-bit ones, 5 for the
    // 31-bit JTAG-to-Dormant one.
    if (seqArmed_) {
        seq_ |= static_cast<uint32_t>(bit) << seqCount_;
        ++seqCount_;
        Mode next = mode_;
        if (seqCount_ == 16 && seqOnes_ >= 50) {
            if (seq_ == 0xE79E && mode_ == Mode::Jtag) next = Mode::Swd;
            else if (seq_ == 0xE73C && mode_ == Mode::Swd) next = Mode::Jtag;
            else if (seq_ == 0xE3BC && mode_ == Mode::Swd) next = Mode::Dormant;
        } else if (seqCount_ == 31) {
            if (seq_ == 0x33BBBBBA && mode_ == Mode::Jtag) next = Mode::Dormant;
            seqArmed_ = false;
        }
        if (next != mode_) {
            mode_ = next;
            seqArmed_ = false;
            ++switches_;
            phase_ = Lockout;   // SWD needs a line reset first
            activationCount_ = 0;
        }
    } else if (!bit && ones_ >= 5) {
        seqArmed_ = true;
        seqCount_ = 1;
        seq_ = 0;
        seqOnes_ = ones_;
    }
}

void SwdTarget::watchAlert(bool bit) {
    // Dormant: only the 128-bit selection alert, 4 idle cycles and an activation code are heard.
    alertLo_ = (alertLo_ >> 1) | ((alertHi_ & 1) << 63);
    alertHi_ = (alertHi_ >> 1) | (static_cast<uint64_t>(bit) << 63);
    if (activationCount_) {
        const unsigned n = activationCount_++;
        if (n >= 5) activation_ |= static_cast<uint32_t>(bit) << (n - 5);
        if (n < 12) return;
        activationCount_ = 0;
        if (activation_ == 0x1A) { mode_ = Mode::Swd; ++wakeUps_; }     // ARM SW-DP
        else if (activation_ == 0x00) { mode_ = Mode::Jtag; ++wakeUps_; }  // JTAG-DP (zeros)
        phase_ = Lockout;
        return;
    }
    if (alertLo_ == 0x86852D956209F392ull && alertHi_ == 0x19BC0EA2E3DDAFE9ull) {
        activationCount_ = 1;
        activation_ = 0;
    }
}

void SwdTarget::rising(bool line) {
    if (!driving_) {
        if (mode_ == Mode::Dormant) {
            watchAlert(line);
            return;
        }
        watchSwitch(line);
        ones_ = line ? ones_ + 1 : 0;
        if (mode_ == Mode::Swd && ones_ >= 50) {
            lineReset();
            return;
        }
    } else {
        ones_ = 0;
    }
    if (mode_ != Mode::Swd) return;
    switch (phase_) {
    case Lockout:
        return;
    case ResetState:
        if (!line) phase_ = Idle;
        return;
    case Idle:
        if (line) { phase_ = Request; request_ = 1; count_ = 1; }
        return;
    case Request:
        request_ |= static_cast<uint32_t>(line) << count_;
        if (++count_ == 8) requestComplete();
        return;
    case Turn:
        decide();
        return;
    case Ack:
        if (++count_ < 3) { out_ = (ack_ >> count_) & 1; return; }
        // After the third ACK bit: data phase, or release the line.
        if (dataPhase_ && isRead()) {
            phase_ = ReadData;
            count_ = 0;
            if (ack_ == kAckOk) out_ = data_ & 1;
            else driving_ = false;   // overrun detection: the host clocks an empty data phase
        } else if (dataPhase_) {
            driving_ = false;
            phase_ = WriteTurn;
        } else {
            driving_ = false;
            phase_ = TurnEnd;
        }
        return;
    case ReadData:
        if (++count_ < 33) { if (driving_) out_ = (data_ >> count_) & 1; return; }
        driving_ = false;
        phase_ = TurnEnd;
        return;
    case TurnEnd:
        phase_ = Idle;
        return;
    case WriteTurn:
        phase_ = WriteData;
        count_ = 0;
        data_ = 0;
        return;
    case WriteData:
        data_ |= static_cast<uint64_t>(line) << count_;
        if (++count_ == 33) { writeComplete(); phase_ = Idle; }
        return;
    }
}

void SwdTarget::requestComplete() {
    const unsigned r = request_;
    const bool parityOk = ((std::popcount((r >> 1) & 0xFu) & 1) == static_cast<int>((r >> 5) & 1));
    const bool framingOk = !((r >> 6) & 1) && ((r >> 7) & 1);
    if (!parityOk) ++parityErrors_;
    // After a line reset only a DPIDR read is answered; anything else is a protocol error.
    const bool dpidrRead = (r & 0x1E) == 0x04;
    if (!parityOk || !framingOk || (needDpidr_ && !dpidrRead)) {
        ++protocolErrors_;
        phase_ = Lockout;
        return;
    }
    phase_ = Turn;
}

void SwdTarget::decide() {
    dataPhase_ = true;
    data_ = 0;
    const unsigned a = addr();
    bool wait = false;
    if (isAp() && !(ctrlStat_ & kStickyAll)) {
        if (waitSkip_) --waitSkip_;
        else if (injectedWaits_) { --injectedWaits_; wait = true; }
    }
    if (isAp() && (ctrlStat_ & kStickyAll)) {
        ack_ = kAckFault;
    } else if (wait) {
        ack_ = kAckWait;
        if (ctrlStat_ & kOrunDetect) ctrlStat_ |= kStickyOrun;
    } else {
        ack_ = kAckOk;
    }
    if (ack_ == kAckOk) ++okAcks_;
    else if (ack_ == kAckWait) ++waitAcks_;
    else ++faultAcks_;
    if (ack_ != kAckOk && !(ctrlStat_ & kOrunDetect)) dataPhase_ = false;
    if (ack_ == kAckOk && isRead()) {
        uint32_t v = isAp() ? apRead(a) : dpRead(a);
        data_ = v | (static_cast<uint64_t>(parity32(v)) << 32);
    }
    // An armed bus failure strikes once this access has gone through.
    if (ack_ == kAckOk && isAp() && faultArmed_ && --faultSkip_ == 0) {
        faultArmed_ = false;
        ctrlStat_ |= kStickyErr;
    }
    driving_ = true;
    out_ = ack_ & 1;
    count_ = 0;
    phase_ = Ack;
}

void SwdTarget::writeComplete() {
    if (ack_ != kAckOk) return;
    const uint32_t v = static_cast<uint32_t>(data_);
    bool parity = (data_ >> 32) & 1;
    if (badParity_) { --badParity_; parity = !parity; }
    if (parity32(v) != parity) {
        ctrlStat_ |= kWdataErr;
        return;
    }
    if (isAp()) apWrite(addr(), v);
    else dpWrite(addr(), v);
}

uint32_t SwdTarget::dpRead(unsigned a) {
    uint32_t v = 0;
    switch (a) {
    case 0x0: v = cfg_.dpidr; needDpidr_ = false; break;
    case 0x4: v = (select_ & 0xF) ? 0 : ctrlStat_; break;
    case 0x8: v = lastRead_; break;                    // RESEND
    case 0xC: v = rdbuff_; break;
    }
    lastRead_ = v;
    return v;
}

void SwdTarget::dpWrite(unsigned a, uint32_t v) {
    switch (a) {
    case 0x0:   // ABORT
        if (v & (1u << 1)) ctrlStat_ &= ~kStickyCmp;
        if (v & (1u << 2)) ctrlStat_ &= ~kStickyErr;
        if (v & (1u << 3)) ctrlStat_ &= ~kWdataErr;
        if (v & (1u << 4)) ctrlStat_ &= ~kStickyOrun;
        if (v & 1u) injectedWaits_ = 0;
        break;
    case 0x4:
        if (select_ & 0xF) break;
        {
            // Writable: ORUNDETECT, TRNMODE, MASKLANE, the reset and power-up requests.
            const uint32_t writable = kOrunDetect | 0x0Cu | 0xF00u | (1u << 26) | (1u << 28) | (1u << 30);
            ctrlStat_ = (ctrlStat_ & ~writable & ~0xAC000000u) | (v & writable);
            // The power and reset requests are acknowledged at once.
            if (ctrlStat_ & (1u << 26)) ctrlStat_ |= 1u << 27;
            if (ctrlStat_ & (1u << 28)) ctrlStat_ |= 1u << 29;
            if (ctrlStat_ & (1u << 30)) ctrlStat_ |= 1u << 31;
        }
        break;
    case 0x8: select_ = v; break;
    case 0xC: break;   // TARGETSEL on multi-drop DPs: nothing to select here
    }
}

uint32_t SwdTarget::apRead(unsigned a) {
    // Posted: this read returns the previous AP read; its own result waits in RDBUFF.
    const uint32_t previous = rdbuff_;
    uint32_t v = 0;
    const unsigned reg = (select_ & 0xF0) | a;
    if ((select_ >> 24) == 0) {
        switch (reg) {
        case 0x00: v = csw_ | (1u << 6); break;   // DeviceEn
        case 0x04: v = tar_; break;
        case 0x0C: {
            uint32_t w = 0;
            if (!memRead(tar_ & ~3u, &w)) ctrlStat_ |= kStickyErr;
            v = w;
            advanceTar();
            break;
        }
        case 0x10: case 0x14: case 0x18: case 0x1C: {
            uint32_t w = 0;
            if (!memRead((tar_ & ~0xFu) | (reg & 0xC), &w)) ctrlStat_ |= kStickyErr;
            v = w;
            break;
        }
        case 0xF8: v = cfg_.romBase; break;
        case 0xFC: v = cfg_.apIdr; break;
        default: v = 0; break;
        }
    }
    rdbuff_ = v;
    lastRead_ = previous;
    return previous;
}

void SwdTarget::apWrite(unsigned a, uint32_t v) {
    if ((select_ >> 24) != 0) return;
    const unsigned reg = (select_ & 0xF0) | a;
    switch (reg) {
    case 0x00: csw_ = (csw_ & ~0x7F000037u) | (v & 0x7F000037u); break;
    case 0x04: tar_ = v; break;
    case 0x0C: {
        const unsigned size = csw_ & 7;
        if (!memWrite(tar_, v, size > 2 ? 2 : size)) ctrlStat_ |= kStickyErr;
        advanceTar();
        break;
    }
    case 0x10: case 0x14: case 0x18: case 0x1C:
        if (!memWrite((tar_ & ~0xFu) | (reg & 0xC), v, 2)) ctrlStat_ |= kStickyErr;
        break;
    default: break;
    }
}

void SwdTarget::advanceTar() {
    const unsigned inc = (csw_ >> 4) & 3;
    if (inc == 0) return;
    const unsigned size = csw_ & 7;
    const uint32_t step = size > 2 ? 4u : (1u << size);
    // Automatic increment is guaranteed only inside a 1 KiB block; like common AHB-APs, wrap there.
    tar_ = (tar_ & ~0x3FFu) | ((tar_ + step) & 0x3FFu);
}

bool SwdTarget::memRead(uint32_t address, uint32_t* v) {
    const uint32_t word = address & ~3u;
    if (word < cfg_.ramBase || word - cfg_.ramBase + 4 > cfg_.ramSize) { *v = 0; return false; }
    std::memcpy(v, &ram_[word - cfg_.ramBase], 4);   // little-endian host assumed for the lanes
    return true;
}

bool SwdTarget::memWrite(uint32_t address, uint32_t v, unsigned size) {
    const uint32_t word = address & ~3u;
    if (word < cfg_.ramBase || word - cfg_.ramBase + 4 > cfg_.ramSize) return false;
    uint8_t* p = &ram_[word - cfg_.ramBase];
    if (size == 0) {
        const unsigned lane = address & 3;
        p[lane] = static_cast<uint8_t>(v >> (8 * lane));
    } else if (size == 1) {
        const unsigned lane = address & 2;
        p[lane] = static_cast<uint8_t>(v >> (8 * lane));
        p[lane + 1] = static_cast<uint8_t>(v >> (8 * lane + 8));
    } else {
        for (unsigned i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return true;
}

control::SwdStatus SwdTarget::status() const {
    control::SwdStatus s;
    s.swdMode = mode_ == Mode::Swd;
    s.dormant = mode_ == Mode::Dormant;
    s.lineResetState = mode_ == Mode::Swd && needDpidr_ && phase_ != Lockout;
    s.wakeUps = wakeUps_;
    s.lockedOut = phase_ == Lockout;
    s.ctrlStat = ctrlStat_;
    s.select = select_;
    s.tar = tar_;
    s.csw = csw_;
    s.lineResets = lineResets_;
    s.switches = switches_;
    s.okAcks = okAcks_;
    s.waitAcks = waitAcks_;
    s.faultAcks = faultAcks_;
    s.protocolErrors = protocolErrors_;
    s.parityErrors = parityErrors_;
    return s;
}

bool SwdTarget::readMemory(uint32_t address, uint8_t* out, uint32_t count) const {
    if (address < cfg_.ramBase || address - cfg_.ramBase > cfg_.ramSize ||
        count > cfg_.ramSize - (address - cfg_.ramBase))
        return false;
    if (count) std::memcpy(out, &ram_[address - cfg_.ramBase], count);
    return true;
}

bool SwdTarget::writeMemory(uint32_t address, const uint8_t* in, uint32_t count) {
    if (address < cfg_.ramBase || address - cfg_.ramBase > cfg_.ramSize ||
        count > cfg_.ramSize - (address - cfg_.ramBase))
        return false;
    if (count) std::memcpy(&ram_[address - cfg_.ramBase], in, count);
    return true;
}

}  // namespace vpod::detail
