// The virtual pod's model: chips, their interfaces (one D2XX device each), the MPSSE engine
// and pin bus of an interface, and what hangs on its pins.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jtag.h"
#include "rbb.h"
#include "rbb_swd.h"
#include "swd.h"
#include "vpod/control.h"
#include "vpod/vpod.h"

namespace vpod::detail {

enum class ChipKind : uint8_t { FT2232C, FT2232H, FT4232H, FT232H };

struct ChipModel {
    ChipKind kind;
    const char* name;
    uint32_t type;            // FT_DEVICE
    uint32_t usbId;           // VID << 16 | PID
    unsigned interfaces;
    unsigned mpsseInterfaces; // the first n interfaces have an MPSSE
    bool hSeries;
    bool highSpeed;
    const char* factoryDescription;
};
const ChipModel* chipModel(const std::string& typeName);   // case-insensitive; null if unknown

enum class TargetKind : uint8_t { None, Loopback, Jtag, Swd, Rbb, RbbSwd };

struct FaultState {
    struct OpFault { Status status = 0; unsigned count = 0; };
    OpFault ops[static_cast<int>(control::Op::CyclePort) + 1];
    unsigned shortWrites = 0;
    uint32_t shortAccepted = 0;
    unsigned stallReads = 0;
    bool brokenEcho = false;
    int unplugOp = -1;               // the call during which the chip leaves the bus
    unsigned unplugAfter = 0;
    bool unplugDue(control::Op op) {
        if (unplugOp != static_cast<int>(op)) return false;
        if (unplugAfter) { --unplugAfter; return false; }
        unplugOp = -1;
        return true;
    }
    bool take(control::Op op, Status* status) {
        OpFault& f = ops[static_cast<int>(op)];
        if (!f.count) return false;
        --f.count;
        *status = f.status;
        return true;
    }
};

struct Chip;

struct Interface {
    Chip* chip = nullptr;
    std::string serial, description;
    uint32_t location = 0;
    bool mpsse = false;              // this interface has an MPSSE engine

    std::mutex mu;
    std::condition_variable cv;
    std::atomic<uint64_t> epoch{0};  // bumped when the interface leaves the bus: old handles die
    bool open = false;
    bool busy = false;               // held by another process
    Notify notify = nullptr;
    void* notifyArg = nullptr;
    uint32_t readTimeoutMs = 0, writeTimeoutMs = 0;
    uint8_t latencyMs = 16;
    uint8_t bitMode = 0;

    std::vector<uint8_t> rx;
    size_t rxHead = 0;
    // Bytes ever queued for the host, and that count at the last send-immediate: what a USB
    // front end may send before the latency timer runs out.
    uint64_t rxQueued = 0, rxReleasedTo = 0;
    std::vector<uint8_t> pending;    // a command still waiting for its remaining bytes

    uint8_t lowValue = 0, lowDir = 0, highValue = 0, highDir = 0;
    bool loopback = false, div5 = true, threePhase = false, adaptive = false;
    uint16_t divisor = 0;

    TargetKind kind = TargetKind::None;
    JtagChain chain;
    std::unique_ptr<SwdTarget> swd;
    std::unique_ptr<RbbBridge> rbb;
    std::unique_ptr<RbbSwdBridge> rbbSwd;
    bool rbbTdo = true;              // the last level read from the bridge
    uint8_t trstBus = 0, trstMask = 0;   // 1 = low byte, 2 = high byte
    bool trstAsserted = false;

    uint64_t nowPs = 0, rxReadyPs = 0, periodPs = 0, tckCycles = 0;
    uint64_t emulationCpuNs = 0;     // thread CPU spent executing commands (the chip's work)
    bool unflushed = false;
    uint64_t unflushedSincePs = 0;

    FaultState faults;
    bool leaveInRead = false;        // set by a read that takes the chip off the bus
    bool recordTraffic = false;
    std::vector<uint8_t> trafficW, trafficR;
    int vcdScope = -1;

    uint32_t rxCount() const { return static_cast<uint32_t>(rx.size() - rxHead); }
    uint32_t rxReleased() const {
        const uint64_t head = rxQueued - rxCount();
        return rxReleasedTo > head ? static_cast<uint32_t>(std::min<uint64_t>(rxReleasedTo - head, rxCount())) : 0;
    }
    // MPSSE engine (mpsse.cpp). Returns the number of answer bytes produced.
    size_t execute(const uint8_t* data, size_t n);
    void resetEngine(bool keepPins = false);   // MPSSE back to its power-up state (GPIO latches kept on request)
    void updatePeriod();
    void chargeUsbOut(size_t bytes);
    void chargeUsbIn();
};

struct Chip {
    const ChipModel* model = nullptr;
    std::string serial, description;
    std::vector<std::shared_ptr<Interface>> interfaces;
    bool unplugged = false;
    bool cycling = false;            // left the bus by CyclePort; back when its handles are closed
    bool present() const { return !unplugged && !cycling; }
};

struct Board {
    std::vector<std::unique_ptr<Chip>> chips;
    std::vector<std::shared_ptr<Interface>> order;   // enumeration order
};

// Builds a board from INI text (config.cpp).
bool buildBoard(const std::string& text, Board* board, std::string* error);
extern const char* const kDefaultBoardText;

// Trace and waveform (trace.cpp).
void traceRefreshFromEnvironment();
// Closes the trace files and frees the writer; the next trace starts from the environment.
void traceRelease();
void traceSetFile(const std::string& path);
void vcdSetFile(const std::string& path);
bool traceEnabled();
void traceBytes(const std::string& serial, char dir, const uint8_t* data, size_t n);
bool vcdEnabled();
int vcdScopeFor(const std::string& serial);
void vcdCycle(int scope, uint64_t startPs, uint64_t periodPs, bool tms, bool tdi, bool tdo, bool trst,
              bool swdioOut);
void vcdFlush();

}  // namespace vpod::detail
