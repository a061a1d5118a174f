// Test control of the virtual pod: boards, fault injection, target inspection, simulated time.
// Interfaces are named by their D2XX serial number: base serial + channel letter
// ("DV000001A"), or the bare serial of an FT232H. Every function returns false when no such
// interface (or target of the asked kind) exists and then changes nothing.
// All functions are thread-safe; they act on the board of the calling process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vpod/vpod.h"

namespace vpod::control {

// ---- Boards ------------------------------------------------------------------------------
// Replace the board by one described in INI text (format in docs/vpod.md). On failure the old
// board stays and *error (if given) says what is wrong. Open handles of the old board die.
bool loadConfigText(const std::string& text, std::string* error = nullptr);
bool loadConfigFile(const std::string& path, std::string* error = nullptr);
// The built-in board: one FT2232H "DV000001" "Dual RS232", A = JTAG chain, B = SWD target.
void loadDefaultBoard();
// What a fresh process would load: the file DORVANE_VPOD names, else the default board.
bool loadFromEnvironment(std::string* error = nullptr);
// The INI text of the built-in board (handy as a starting point for tests).
std::string defaultBoardText();
// Serial numbers of all interfaces in enumeration order (absent chips included).
std::vector<std::string> interfaces();
// The chips of the board in order, as a USB bus would show them.
struct ChipInfo {
    uint32_t type = 0;                    // FT_DEVICE number
    std::string serial, description;      // as the chip's string descriptors carry them
    std::vector<std::string> interfaces;  // the D2XX serial numbers of its channels, A first
    bool present = true;                  // false while unplugged or re-enumerating
};
std::vector<ChipInfo> chips();
// Mark an interface as held by another process (description query answers status 3).
bool setBusy(const std::string& iface, bool busy);
bool isOpen(const std::string& iface);

// ---- Trace and waveform --------------------------------------------------------------------
// Same as DORVANE_VPOD_TRACE / DORVANE_VPOD_VCD; "" switches it off. The variables are
// looked at again on every board load and every open.
void setTraceFile(const std::string& path);
void setVcdFile(const std::string& path);
// In-memory copy of the bytes written to / read from an interface since the last clear
// (off by default; keeps benchmarks lean).
bool recordTraffic(const std::string& iface, bool on);
bool trafficWritten(const std::string& iface, std::vector<uint8_t>* bytes);
bool trafficRead(const std::string& iface, std::vector<uint8_t>* bytes);
bool clearTraffic(const std::string& iface);

// ---- Fault injection -----------------------------------------------------------------------
enum class Op {
    ListDevices, OpenEx, Open, GetDeviceInfo, Close, ResetDevice, Purge, SetBitMode,
    SetTimeouts, SetLatencyTimer, SetEventNotification, GetQueueStatus, Read, Write, CyclePort,
};
// The next `count` calls of `op` on the interface answer `status` and do nothing else.
// (ListDevices, OpenEx and Open count calls that concern this interface.)
bool failNext(const std::string& iface, Op op, Status status, unsigned count);
// The next `count` writes accept only the first `accepted` bytes (status OK, *written short).
bool shortWrites(const std::string& iface, unsigned count, uint32_t accepted);
// The next `count` reads that ask for bytes return none after their read timeout.
bool stallReads(const std::string& iface, unsigned count);
// Bytes appear in the receive queue now (as if the chip had sent them); the event fires.
bool strayBytes(const std::string& iface, const std::vector<uint8_t>& bytes);
// The next `count` ResetDevice calls fail with FT_IO_ERROR.
bool failResets(const std::string& iface, unsigned count);
// Bad-command answers carry the opcode + 1 instead of the opcode (0xFA still comes first).
bool breakEcho(const std::string& iface, bool broken);
// The whole chip of the interface leaves the bus / comes back.
bool unplug(const std::string& iface);
bool replug(const std::string& iface);
// The chip leaves the bus during the call of `op` after the next `after` ones: a Write is
// executed first (its answers are lost with the chip: mid-scan), a Read that asks for bytes
// (mid-read) or any other call fails with FT_IO_ERROR. Then as unplug().
bool unplugDuring(const std::string& iface, Op op, unsigned after = 0);
bool clearFaults(const std::string& iface);

// ---- Chip state ----------------------------------------------------------------------------
struct ChipState {
    uint8_t bitMode = 0;         // last SetBitMode mode (2 = MPSSE)
    uint8_t lowValue = 0, lowDirection = 0, highValue = 0, highDirection = 0;
    bool loopback = false;
    bool divideBy5 = true;       // H-series default after reset
    bool threePhase = false, adaptive = false;
    uint16_t divisor = 0;
    uint8_t latencyMs = 16;
    uint32_t readTimeoutMs = 0, writeTimeoutMs = 0;
    uint32_t rxQueued = 0;       // bytes waiting in the receive queue
    uint32_t pendingCommandBytes = 0;  // an incomplete command waiting for more bytes
    uint64_t tckCycles = 0;
    bool trstAsserted = false;
};
bool chipState(const std::string& iface, ChipState* state);
// Simulated time of the chip (ns since board load or the last reset of the clock): TCK at the
// programmed rate, USB frames and the latency timer.
bool simulatedTimeNs(const std::string& iface, uint64_t* ns);
bool resetSimulatedTime(const std::string& iface);
// CPU time the emulation of the interface has taken since board load: the thread CPU of its
// write calls (the command engine, which a real chip runs in hardware, and the arrival signal,
// which a real pod's driver gives), including the clock readings that measure it. With
// DORVANE_VPOD_STATS naming a file, every MPSSE interface appends "serial emulation_cpu_ns
// simulated_ns" to it when the process exits (for programs that cannot ask, such as OpenOCD
// on the USB-level pod).
bool emulationCpuNs(const std::string& iface, uint64_t* ns);

// ---- JTAG chain ----------------------------------------------------------------------------
// IEEE 1149.1 states.
enum class TapState : uint8_t {
    TestLogicReset, RunTestIdle, SelectDrScan, CaptureDr, ShiftDr, Exit1Dr, PauseDr, Exit2Dr,
    UpdateDr, SelectIrScan, CaptureIr, ShiftIr, Exit1Ir, PauseIr, Exit2Ir, UpdateIr,
};
const char* tapStateName(TapState s);
// TAPs are indexed from the TDO end: TAP 0 drives the pod's TDO.
bool tapCount(const std::string& iface, unsigned* count);
struct TapInfo {
    std::string name;
    TapState state = TapState::TestLogicReset;
    unsigned irLength = 0;
    uint64_t instruction = 0;        // the current (updated) instruction
    std::string selectedRegister;    // "BYPASS", "IDCODE", "BOUNDARY" or a user register name
    uint64_t irUpdates = 0;
    uint64_t resets = 0;             // entries into Test-Logic-Reset (TMS or TRST)
};
bool tapInfo(const std::string& iface, unsigned tap, TapInfo* info);
// Data registers by name ("BYPASS", "IDCODE", "BOUNDARY", user names). Bits are little-endian
// bytes, bit 0 = first bit shifted out / in.
struct RegisterLog {
    unsigned length = 0;
    uint64_t captures = 0;
    uint64_t updates = 0;
    std::vector<uint8_t> lastUpdate;   // value latched by the last Update-DR
    std::vector<uint8_t> capture;      // value the next Capture-DR loads
};
bool tapRegister(const std::string& iface, unsigned tap, const std::string& reg, RegisterLog* log);
// Sets what Capture-DR of that register loads (e.g. boundary pin levels).
bool setTapCapture(const std::string& iface, unsigned tap, const std::string& reg,
                   const std::vector<uint8_t>& bits);

// ---- SWD target ----------------------------------------------------------------------------
struct SwdStatus {
    bool swdMode = false;        // the JTAG-to-SWD switch or the SWD wake-up was seen (or not required)
    bool dormant = false;        // Dormant: waits for the selection alert and an activation code
    bool lineResetState = false; // after a line reset, until DPIDR is read
    bool lockedOut = false;      // protocol error: waits for a line reset
    uint32_t ctrlStat = 0, select = 0, tar = 0, csw = 0;
    uint64_t lineResets = 0, switches = 0, wakeUps = 0;
    uint64_t okAcks = 0, waitAcks = 0, faultAcks = 0, protocolErrors = 0, parityErrors = 0;
};
bool swdStatus(const std::string& iface, SwdStatus* status);
bool swdReadMemory(const std::string& iface, uint32_t address, void* out, uint32_t count);
bool swdWriteMemory(const std::string& iface, uint32_t address, const void* in, uint32_t count);
// After `after` AP accesses answered as usual, the next `count` answer WAIT (with ORUNDETECT
// set a WAIT also sets STICKYORUN). ABORT with DAPABORT cancels what is left.
bool swdInjectWait(const std::string& iface, unsigned count, unsigned after = 0);
// After `after` more AP accesses complete (0: at once), STICKYERR is set as a failed bus access
// would: AP accesses answer FAULT until ABORT clears it.
bool swdInjectFault(const std::string& iface, unsigned after = 0);
// The next `count` write data phases arrive with a wrong parity bit: each write is dropped and
// sets WDATAERR.
bool swdCorruptWriteParity(const std::string& iface, unsigned count);

}  // namespace vpod::control
