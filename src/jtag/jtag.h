// The JTAG scan engine: TAP state tracking and moves, the IR/DR and raw scan engines, the
// TCK-clocked wait and the TMS reset, offered to the rest of jtag/ and to swd/ and pod/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/context.h"
#include "transport/transport.h"

namespace dorvane {

// A TAP's scan protocol (scan_protocol): 2 slows the first TCK out of Run-Test/Idle.
enum class ScanProtocol : uint32_t { Normal = 0, SlowRtiExit = 2 };

// The JTAG engine's part of the controller context: per-TAP state tracking and protocol.
struct TapPart : ContextPart {
    static constexpr PartId kId = PartId::Jtag;

    uint32_t irStopState[kTapSlots] = {0, 2};
    uint32_t drStopState[kTapSlots] = {0, 2};
    uint32_t tapState[kTapSlots] = {};
    ScanProtocol tapProtocol[kTapSlots] = {};
    uint32_t slowExitArmed[kTapSlots] = {};
    uint32_t buffersOwned = 0;
};

inline TapPart& tapsOf(KpxContext* ctx) { return ctx->part<TapPart>(); }
inline const TapPart& tapsOf(const KpxContext* ctx) { return ctx->part<TapPart>(); }
// Also through a guard (ContextGuard) or any holder with operator->.
template <class Holder>
TapPart& tapsOf(const Holder& held) { return held->template part<TapPart>(); }

// Back to the state of a controller just opened: stop states, TAP states, protocol (open,
// close and a device reset; the line levels are the transport's, resetSessionState).
void resetTapState(KpxContext* ctx);

// B-Scan state codes.
enum : uint32_t {
    ST_UNKNOWN = 0, ST_TLR = 1, ST_RTI = 2, ST_PDR = 3, ST_PIR = 4,
    ST_SELECT_DR = 7, ST_SELECT_IR = 8, ST_CAPTURE_DR = 10, ST_CAPTURE_IR = 11,
    ST_SHIFT_DR = 13, ST_SHIFT_IR = 14, ST_UPDATE_DR = 16, ST_UPDATE_IR = 17,
    ST_EXIT1_DR = 19, ST_EXIT1_IR = 20, ST_EXIT2_DR = 22, ST_EXIT2_IR = 23,
    ST_TMS1_X1 = 24, ST_TMS1_X2 = 25, ST_TMS1_X3 = 26, ST_TMS1_X4 = 27,
    ST_CHAINED_EXIT1 = 28,
};
constexpr uint32_t kStateTableSize = 28;
constexpr uint32_t kAllTaps = 0xFFFFFFFFu;
constexpr uint32_t kMaxTapId = 1;

// Next state after one TCK with TMS = 0 / TMS = 1 (codes 0..27; anything else gives 0).
uint32_t nextTapState(uint32_t state, uint32_t tms);

// Scan engine flags.
enum : uint32_t { SCAN_DR = 0x1, SCAN_TO_PAUSE = 0x2, SCAN_CHAINED = 0x4 };

// MPSSE opcodes the engine emits.
enum : uint8_t {
    OP_TMS = 0x4B, OP_TMS_READ = 0x6B,
    OP_BYTES_OUT = 0x19, OP_BITS_OUT = 0x1B, OP_BYTES_IN = 0x28, OP_BITS_IN = 0x2A,
    OP_BYTES_INOUT = 0x39, OP_BITS_INOUT = 0x3B,
    OP_SET_LOW = 0x80, OP_SET_HIGH = 0x82, OP_READ_HIGH = 0x83, OP_SEND_IMMEDIATE = 0x87,
    OP_DIVISOR = 0x86, OP_DIV5_OFF = 0x8A, OP_DIV5_ON = 0x8B, OP_CLOCK_BITS = 0x8E,
    OP_CLOCK_BYTES = 0x8F,
};

// A fixed local command buffer; callers size it for the worst case they append.
template <size_t N>
struct CommandBytes {
    uint8_t data[N];
    uint32_t length = 0;
    void put(uint8_t b) { data[length++] = b; }
    void put(uint8_t a, uint8_t b) { data[length] = a; data[length + 1] = b; length += 2; }
    void put(uint8_t a, uint8_t b, uint8_t c) {
        data[length] = a; data[length + 1] = b; data[length + 2] = c; length += 3;
    }
    void put(const uint8_t* p, uint32_t n) { std::memcpy(data + length, p, n); length += n; }
    void zeros(uint32_t n) { std::memset(data + length, 0, n); length += n; }
    void fill(uint8_t v, uint32_t n) { std::memset(data + length, v, n); length += n; }
    void clear() { length = 0; }
};

// --- pure path tables (states.cpp) ---
// The TMS path of a move between stable states (1..4) with op as the TMS opcode; returns the
// byte count written to out (at most 6).
uint32_t movePathBytes(uint32_t from, uint32_t to, uint8_t op, uint8_t* out);
// The rest of a move out of RTI after the slow first TCK (target 1, 3 or 4); at most 3 bytes.
uint32_t slowMoveTailBytes(uint32_t to, uint8_t op, uint8_t* out);
// Entry path of an IR/DR scan from state (1..4 or 28); 0 when the state has no entry path.
uint32_t scanEntryBytes(uint32_t from, bool dr, bool nonEmpty, uint8_t* out);
// The entry path's tail after the slow first TCK out of RTI.
uint32_t slowScanEntryTailBytes(bool dr, bool nonEmpty, uint8_t* out);
// Length and TMS data of the path from Exit1 to a stop state (1..4).
void stopPathBytes(uint32_t stopState, uint8_t* lengthByte, uint8_t* tmsByte);

// --- TAP addressing and state (states.cpp) ---
uint32_t tapIdInvalid(KpxContext* ctx, uint32_t tapId);
uint32_t tapMaskInvalid(KpxContext* ctx, uint32_t tapMask);
uint32_t tapIndexOfMask(uint32_t tapMask);
uint32_t tapCountOfMask(uint32_t tapMask);
inline uint32_t tapMaskOfId(uint32_t tapId) { return tapId >= 1 && tapId <= 32 ? 1u << (tapId - 1) : 0; }
uint32_t selectTaps(KpxContext* ctx, uint32_t tapMask);
void recordTapState(KpxContext* ctx, uint32_t tapMask, uint32_t code);
void recordTmsHigh(KpxContext* ctx, uint32_t tapMask, uint32_t flag);
uint32_t moveTaps(KpxContext* ctx, uint32_t tapMask, uint32_t target);
// Appends the slow first TCK (2 kHz divisor, one TMS-1 clock, current divisor); 0 on failure.
uint32_t appendSlowFirstTck(KpxContext* ctx, uint8_t* out, uint32_t* length);

// --- completion words shared with the receive thread ---
// Spins (yielding) until the receive thread has cleared *word; reads it under resultLock,
// where the thread clears it. Fails with the receive thread's posted error if it stopped.
uint32_t waitCompletionWord(KpxContext* ctx, volatile uint32_t* word);
// Registers a marker record (bitCount 1 or 8, no destination) and raises pendingReadBytes.
uint32_t registerMarker(KpxContext* ctx, uint32_t bitCount, volatile uint32_t* doneFlag);

// Appends the command that rewrites the byte carrying the TRST pin: TCK 0, TDI 1, TMS where
// tmsHigh keeps it, the static pins at their levels and TRST as trstBits (its mask bit = released).
template <size_t N>
void putTrstPinCommand(const KpxContext* c, uint32_t tapId, uint8_t trstBits, CommandBytes<N>& buf) {
    if (transportOf(c).trstBus == 1) {
        const uint8_t tms = transportOf(c).tmsHigh[tapId] == 1 ? 0x08 : 0x00;
        buf.put(OP_SET_LOW, tms | transportOf(c).dataBusValue | trstBits | 0x02, transportOf(c).effectiveLowDirection);
    } else {
        buf.put(OP_SET_HIGH, transportOf(c).ctrlBusValue | trstBits, transportOf(c).effectiveHighDirection);
    }
}

// Queues pin commands; with buffering off they close with a high-byte read whose marker is
// waited for, so the call returns once the pins have changed.
template <size_t N>
uint32_t queuePinCommands(KpxContext* c, CommandBytes<N>& buf) {
    const bool buffered = transportOf(c).bufferingType != 0;
    if (!buffered) {
        buf.put(OP_READ_HIGH, OP_SEND_IMMEDIATE);
        if (registerMarker(c, 8, nullptr)) return 1;
    }
    if (queueCommands(c, buf.data, buf.length, 0)) return 1;
    return buffered ? 0 : waitForResults(c, WAIT_ALL);
}

// --- scan engines (scans.cpp) ---
uint32_t scanRegister(KpxContext* ctx, uint32_t flags, uint32_t tapId, const uint8_t* tdiBytes,
                      uint32_t n, uint8_t* tdoBytes, uint8_t* expectedBytes, uint8_t* maskBytes,
                      uint16_t* hostTdo, uint8_t* multiBase);
uint32_t scanRaw(KpxContext* ctx, uint32_t tapId, const uint8_t* tdiBytes, uint32_t n,
                 uint8_t* tdoBytes, uint8_t* expectedBytes, uint8_t* maskBytes, uint16_t* hostTdo);
// Copies n bits of a host word vector into a fresh byte vector of ceil(n/8) bytes plus slack
// (null on allocation failure; n 0 still allocates the slack).
uint8_t* copyWordsToBytes(const uint16_t* words, uint32_t n);
uint8_t* allocateTdoBytes(uint32_t n);
void wordsToBytes(const uint16_t* words, uint32_t n, uint8_t* out);

// --- waits and resets ---
uint32_t tckWait(KpxContext* ctx, uint32_t n);
uint32_t tmsResetTap(KpxContext* ctx, uint32_t tapId);

// Pure builders of the wait commands (clock_waits.cpp), exposed for tests.
struct TckWaitPlan {
    uint32_t fullCommands;    // repeated full commands
    uint32_t remainderBytes;  // whole-byte remainder command (0: none)
    uint32_t bits;            // bit command length (0: none)
};
TckWaitPlan planTckWait(uint32_t n, bool fastChip, bool buffered);
// One stretched TCK of P base periods minus one, with the current divisor d.
uint32_t stretchedTckBytes(uint32_t P, uint32_t d, bool fastChip, bool buffered, uint8_t* out);

}  // namespace dorvane
