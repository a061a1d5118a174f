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
    void injectWait(unsigned count) { injectedWaits_ = count; }
    void injectFault() { ctrlStat_ |= kStickyErr; }

private:
    enum Phase : uint8_t { Idle, Request, Turn, Ack, ReadData, TurnEnd, WriteTurn, WriteData, Lockout, ResetState };
    enum : uint32_t {
        kOrunDetect = 1u << 0, kStickyOrun = 1u << 1, kStickyCmp = 1u << 4, kStickyErr = 1u << 5,
        kWdataErr = 1u << 7, kStickyAll = kStickyOrun | kStickyCmp | kStickyErr | kWdataErr,
    };
    void lineReset();
    void watchSwitch(bool bit);
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
    bool swdMode_;
    Phase phase_;
    bool driving_ = false, out_ = true;
    unsigned ones_ = 0;
    unsigned count_ = 0;
    uint32_t request_ = 0;
    uint8_t ack_ = 0;
    bool dataPhase_ = false;
    uint64_t data_ = 0;                // 32 data bits + parity
    bool needDpidr_ = true;
    // JTAG-to-SWD / SWD-to-JTAG sequence watch
    bool seqArmed_ = false;
    unsigned seqCount_ = 0;
    uint32_t seq_ = 0;
    // DP / AP registers
    uint32_t ctrlStat_ = 0, select_ = 0, rdbuff_ = 0, lastRead_ = 0;
    uint32_t csw_ = 0x23000042, tar_ = 0;
    unsigned injectedWaits_ = 0;
    uint64_t lineResets_ = 0, switches_ = 0, okAcks_ = 0, waitAcks_ = 0, faultAcks_ = 0;
    uint64_t protocolErrors_ = 0, parityErrors_ = 0;
};

}  // namespace vpod::detail
