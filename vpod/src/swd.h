// An ARM ADIv5 SW-DP with one MEM-AP over RAM, stepped one SWCLK rising edge at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "vpod/control.h"

namespace vpod::detail {

struct SwdConfig {
    uint32_t dpidr = 0x2BA01477;      // ARM SW-DP (DPv1, designer ARM)
    uint32_t apIdr = 0x24770011;      // AHB-AP
    uint32_t romBase = 0xE00FF003;
    uint32_t ramBase = 0x20000000;
    uint32_t ramSize = 0x10000;
    bool requireSwitch = true;        // starts in JTAG mode until the JTAG-to-SWD sequence
    bool dormant = false;             // starts Dormant until the selection alert and SWD activation code
    // Faults from the board file, as the control calls of the same names set them.
    unsigned waitAccesses = 0, waitAfter = 0;
    bool faultArmed = false;
    unsigned faultAfter = 0;
    unsigned writeParityErrors = 0;
};

class SwdTarget {
public:
    explicit SwdTarget(const SwdConfig& cfg = SwdConfig());
    // The target samples the line on the rising edge and then changes what it drives.
    void rising(bool line);
    bool driving() const { return driving_; }
    bool out() const { return out_; }

    control::SwdStatus status() const;
    bool readMemory(uint32_t address, uint8_t* out, uint32_t count) const;
    bool writeMemory(uint32_t address, const uint8_t* in, uint32_t count);
    // After `after` AP accesses answered as usual, the next `count` answer WAIT.
    void injectWait(unsigned count, unsigned after) { injectedWaits_ = count; waitSkip_ = after; }
    // After `after` AP accesses complete, the bus fails: STICKYERR is set and AP accesses FAULT.
    void injectFault(unsigned after);
    // The next `count` write data phases arrive with their parity bit inverted.
    void corruptWriteParity(unsigned count) { badParity_ = count; }

private:
    enum Phase : uint8_t { Idle, Request, Turn, Ack, ReadData, TurnEnd, WriteTurn, WriteData, Lockout, ResetState };
    enum class Mode : uint8_t { Jtag, Swd, Dormant };
    enum : uint32_t {
        kOrunDetect = 1u << 0, kStickyOrun = 1u << 1, kStickyCmp = 1u << 4, kStickyErr = 1u << 5,
        kWdataErr = 1u << 7, kStickyAll = kStickyOrun | kStickyCmp | kStickyErr | kWdataErr,
    };
    void lineReset();
    void watchSwitch(bool bit);
    void watchAlert(bool bit);
    void countApAccess();
    void requestComplete();
    void decide();                     // at the turnaround: choose the ACK, run a read
    void writeComplete();
    bool isAp() const { return request_ & 0x02; }
    bool isRead() const { return request_ & 0x04; }
    unsigned addr() const { return (request_ >> 1) & 0x0C; }
    uint32_t dpRead(unsigned a);
    void dpWrite(unsigned a, uint32_t v);
    uint32_t apRead(unsigned a);
    void apWrite(unsigned a, uint32_t v);
    bool memRead(uint32_t address, uint32_t* v);
    bool memWrite(uint32_t address, uint32_t v, unsigned size);
    void advanceTar();

    SwdConfig cfg_;
    std::vector<uint8_t> ram_;
    Mode mode_;
    Phase phase_;
    bool driving_ = false, out_ = true;
    unsigned ones_ = 0;
    unsigned count_ = 0;
    uint32_t request_ = 0;
    uint8_t ack_ = 0;
    bool dataPhase_ = false;
    uint64_t data_ = 0;                // 32 data bits + parity
    bool needDpidr_ = true;
    // Switch sequences (JTAG-to-SWD, SWD-to-JTAG, SWD-to-Dormant, JTAG-to-Dormant) watch
    bool seqArmed_ = false;
    unsigned seqCount_ = 0, seqOnes_ = 0;
    uint32_t seq_ = 0;
    // Dormant: the last 128 line bits (first in bit 0 of alertLo_), then the activation code
    uint64_t alertLo_ = 0, alertHi_ = 0;
    unsigned activationCount_ = 0;
    uint32_t activation_ = 0;
    // DP / AP registers
    uint32_t ctrlStat_ = 0, select_ = 0, rdbuff_ = 0, lastRead_ = 0;
    uint32_t csw_ = 0x23000042, tar_ = 0;
    unsigned injectedWaits_ = 0, waitSkip_ = 0, faultSkip_ = 0, badParity_ = 0;
    bool faultArmed_ = false;
    uint64_t wakeUps_ = 0;
    uint64_t lineResets_ = 0, switches_ = 0, okAcks_ = 0, waitAcks_ = 0, faultAcks_ = 0;
    uint64_t protocolErrors_ = 0, parityErrors_ = 0;
};

}  // namespace vpod::detail
