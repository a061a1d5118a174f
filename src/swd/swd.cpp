// The SWD bridge: a TAP in BSCAN2SWD mode is a virtual ADIv5 JTAG-DP kept in the context.
// Its instruction and data registers live in memory; the Update-DR of ABORT, DPACC and APACC
// (and the captures of IDCODE and the first DPACC after a line reset) become SWD transactions
// on the pod: SWCLK on TCK, SWDIO driven from TDI and sampled on TDO.
#include "swd/swd.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "core/errors.h"
#include "transport/transport.h"

namespace dorvane {

namespace {

// This layer's part of every controller context.
[[maybe_unused]] const bool kPartRegistered = registerContextPart(
    SwdPart::kId, []() -> ContextPart* { return new (std::nothrow) SwdPart(); });

enum : uint32_t { SWD_SCAN_DR = 0x1, SWD_SCAN_TO_PAUSE = 0x2 };

enum : uint8_t {
    IR_SCIL19_IDCODE = 2, IR_ABORT = 8, IR_DPACC = 10, IR_APACC = 11, IR_SCIL19_CONNECT = 12, IR_IDCODE = 14,
};
constexpr uint32_t kScil19Idcode = 0x19DC810F;
constexpr uint32_t kAccessLength = 35;   // ABORT, DPACC, APACC: RnW, A[3:2], 32 data bits

struct InstructionRow {
    uint8_t code;
    const char* name;
    uint32_t length;
    uint32_t initialValue;
};

// swdInstructionTable: what Update-IR selects; the line reset loads the initial values.
constexpr InstructionRow kInstructions[16] = {
    {0, "BYPASS", 1, 0},       {1, "BYPASS", 1, 0},  {2, "SCIL19_IDCODE", 32, kScil19Idcode},
    {3, "BYPASS", 1, 0},       {4, "BYPASS", 1, 0},  {5, "BYPASS", 1, 0},
    {6, "BYPASS", 1, 0},       {7, "BYPASS", 1, 0},  {8, "ABORT", 35, 0},
    {9, "BYPASS", 1, 0},       {10, "DPACC", 35, 1}, {11, "APACC", 35, 0},
    {12, "SCIL19_CONNECT", 16, 0}, {13, "BYPASS", 1, 0}, {14, "IDCODE", 32, 0},
    {15, "BYPASS", 1, 0},
};

// Line reset (56 ones), JTAG-to-SWD select 0xE79E, line reset, 8 idle clocks; sent LSB first.
constexpr uint8_t kLineResetPattern[17] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x9E, 0xE7,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
// ADIv5.2 dormant-to-SWD: 8 ones, the 128-bit selection alert, 4 idle clocks and the SWD
// activation code 0x1A, then ones that run into the line reset above.
constexpr uint8_t kDormantWakeUp[19] = {0xFF, 0x92, 0xF3, 0x09, 0x62, 0x95, 0x2D, 0x85, 0x86, 0xE9,
                                        0xAF, 0xDD, 0xE3, 0xA2, 0x0E, 0xBC, 0x19, 0xA0, 0xF1};

constexpr uint8_t OP_BYTES_OUT = 0x19, OP_BITS_OUT = 0x1B, OP_BYTES_IN = 0x28, OP_BITS_IN = 0x2A,
                  OP_BITS_INOUT = 0x3B, OP_SET_LOW = 0x80, OP_SEND_IMMEDIATE = 0x87;

// A small local command buffer; the longest form (the pipelined write) is 31 bytes.
struct Bytes {
    uint8_t data[64];
    uint32_t length = 0;
    void put(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) data[length++] = b;
    }
};

bool bitAt(const uint8_t* v, uint32_t i) { return (v[i / 8] >> (i % 8)) & 1; }
void setBit(uint8_t* v, uint32_t i, bool b) {
    if (b) v[i / 8] = static_cast<uint8_t>(v[i / 8] | (1u << (i % 8)));
    else v[i / 8] = static_cast<uint8_t>(v[i / 8] & ~(1u << (i % 8)));
}
// Clears the bits of the last byte above bit count n.
void cutLastByte(uint8_t* v, uint32_t n) {
    if (n % 8) v[(n - 1) / 8] = static_cast<uint8_t>(v[(n - 1) / 8] & ((1u << (n % 8)) - 1));
}

uint64_t loadRegister(const uint8_t* r, uint32_t length) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < (length + 7) / 8; ++i) v |= static_cast<uint64_t>(r[i]) << (8 * i);
    return length >= 64 ? v : v & ((uint64_t(1) << length) - 1);
}
void storeRegister(uint8_t* r, uint32_t length, uint64_t v) {
    for (uint32_t i = 0; i < (length + 7) / 8; ++i) r[i] = static_cast<uint8_t>(v >> (8 * i));
    cutLastByte(r, length);
}

SwdTapState& tapOf(KpxContext* ctx, uint32_t tapId) { return swdOf(ctx).swd[tapId < kTapSlots ? tapId : 0]; }

// Before the first line reset the virtual TAP holds instruction 0: the 1-bit BYPASS register.
uint8_t* selected(SwdTapState& t, uint32_t* length) {
    if (!t.selectedDr) {
        *length = 1;
        return t.bypass;
    }
    *length = t.selectedDrLength;
    return t.selectedDr;
}

uint8_t* registerOf(SwdTapState& t, uint8_t code) {
    switch (code) {
    case IR_SCIL19_IDCODE: return t.idcode;
    case IR_ABORT: return t.abortReg;
    case IR_DPACC: return t.dpacc;
    case IR_APACC: return t.apacc;
    case IR_SCIL19_CONNECT: return t.connect;
    case IR_IDCODE: return t.idcodeDp;
    default: return t.bypass;
    }
}

uint32_t wordOf(const uint8_t* d) { return d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24; }

// A transaction's result in the JTAG-DP layout: ACK field in bits 0-2, data above it.
void storeResult(uint8_t* reg, uint8_t jtagAck, const uint8_t* data) {
    uint64_t v = jtagAck & 7u;
    if (data) {
        v |= static_cast<uint64_t>(wordOf(data)) << 3;
    } else {
        v |= loadRegister(reg, kAccessLength) & ~uint64_t(7);
    }
    storeRegister(reg, kAccessLength, v);
}

void dataOf(const uint8_t* reg, uint8_t* data) {
    const uint32_t d = static_cast<uint32_t>(loadRegister(reg, kAccessLength) >> 3);
    for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(d >> (8 * i));
}

// Buffering is off for the length of one transaction and comes back on every path.
class UnbufferedTransaction {
public:
    explicit UnbufferedTransaction(KpxContext* ctx) : ctx_(ctx), saved_(transportOf(ctx).bufferingType) {}
    ~UnbufferedTransaction() { restoreBuffering(ctx_, saved_); }
    UnbufferedTransaction(const UnbufferedTransaction&) = delete;
    UnbufferedTransaction& operator=(const UnbufferedTransaction&) = delete;
    uint32_t begin() { return pauseBuffering(ctx_); }

private:
    KpxContext* ctx_;
    uint32_t saved_;
};

uint32_t selectTap(KpxContext* ctx, uint32_t tapId) {
    const uint32_t mask = tapId >= 1 && tapId <= 32 ? 1u << (tapId - 1) : 0;
    if (mask == transportOf(ctx).selectedTapMask) return 0;
    if (mask == 0) return fail(ctx, err::OUT_OF_RANGE);
    transportOf(ctx).selectedTapMask = mask;
    return 0;
}

// One record per returned field, in wire order.
struct Field {
    uint32_t bits;
    uint8_t* destination;   // null: read and discarded
};

// Reserves the records, queues the bytes in one call and waits for every record.
uint32_t exchange(KpxContext* ctx, uint32_t tapId, const Bytes& bytes, std::initializer_list<Field> fields) {
    uint32_t readBytes = 0;
    for (const Field& f : fields) {
        ResultRecord* rec = newResultRecord(ctx);
        if (!rec) return 1;
        rec->tapId = tapId;
        rec->bitCount = f.bits;
        rec->lastBitPosition = (f.bits - 1) % 8;
        rec->tdoBytes = f.destination;
        readBytes += (f.bits + 7) / 8;
    }
    if (queueCommands(ctx, bytes.data, bytes.length, readBytes)) return 1;
    return waitForResults(ctx, WAIT_ALL);
}

struct Transaction {
    KpxContext* ctx;
    uint32_t tapId;
    uint8_t request;

    // Request, SWDIO released, turnaround, 3 ACK bits.
    void head(Bytes& b) const {
        b.put({OP_BITS_OUT, 0x07, request, OP_SET_LOW, transportOf(ctx).dataBusValue,
               static_cast<uint8_t>(transportOf(ctx).dataBusDirection | 0x01), OP_BITS_OUT, 0x00, 0x00, OP_BITS_IN, 0x02});
    }
    // The turnaround back to the pod and SWDIO driven again.
    void driveAgain(Bytes& b) const {
        b.put({OP_BITS_OUT, 0x00, 0x00, OP_SET_LOW, transportOf(ctx).dataBusValue, transportOf(ctx).effectiveLowDirection});
    }
    // 32 data bits, the parity bit, turnaround, SWDIO driven, 8 idle clocks.
    void readTail(Bytes& b) const {
        b.put({OP_BYTES_IN, 0x03, 0x00, OP_BITS_IN, 0x00});
        driveAgain(b);
        b.put({OP_BITS_OUT, 0x07, 0x00, OP_SEND_IMMEDIATE});
    }
    static void writeData(Bytes& b, const uint8_t* d) {
        const uint8_t parity = static_cast<uint8_t>(std::popcount(wordOf(d)) & 1);
        b.put({OP_BYTES_OUT, 0x03, 0x00, d[0], d[1], d[2], d[3], OP_BITS_OUT, 0x00, parity});
    }
    static void idleRead(Bytes& b) { b.put({OP_BITS_INOUT, 0x07, 0x00, OP_SEND_IMMEDIATE}); }
};

uint32_t transact(KpxContext* ctx, uint32_t tapId, bool apNdp, bool read, uint8_t addressBits, uint8_t* ack,
                  uint8_t* data, uint8_t* parity, const uint8_t* writeData) {
    if (ensureControllerReady(ctx)) return 1;
    UnbufferedTransaction unbuffered(ctx);
    if (unbuffered.begin()) return 1;
    if (selectTap(ctx, tapId)) return 1;
    const Transaction t{ctx, tapId, swdRequestByte(apNdp, read, addressBits)};
    const bool pipelined = tapOf(ctx, tapId).overrunDetect != 0;
    uint8_t ackBits = 0, parityBit = 0;
    uint8_t readData[4] = {};
    Bytes b;
    t.head(b);
    if (read) {
        if (pipelined) {
            t.readTail(b);
            if (exchange(ctx, tapId, b, {{3, &ackBits}, {32, readData}, {1, &parityBit}})) return 1;
        } else {
            b.put({OP_SEND_IMMEDIATE});
            if (exchange(ctx, tapId, b, {{3, &ackBits}})) return 1;
            Bytes tail;
            if (ackBits == 1) {
                t.readTail(tail);
                if (exchange(ctx, tapId, tail, {{32, readData}, {1, &parityBit}})) return 1;
            } else {
                tail.put({OP_BITS_OUT, 0x00, 0x00, OP_SET_LOW, transportOf(ctx).dataBusValue, transportOf(ctx).effectiveLowDirection});
                Transaction::idleRead(tail);
                if (exchange(ctx, tapId, tail, {{8, nullptr}})) return 1;
            }
        }
        if (data) std::memcpy(data, readData, 4);
        if (parity) *parity = parityBit;
    } else {
        t.driveAgain(b);
        if (pipelined) {
            Transaction::writeData(b, writeData);
            Transaction::idleRead(b);
            if (exchange(ctx, tapId, b, {{3, &ackBits}, {8, nullptr}})) return 1;
        } else {
            b.put({OP_SEND_IMMEDIATE});
            if (exchange(ctx, tapId, b, {{3, &ackBits}})) return 1;
            Bytes tail;
            if (ackBits == 1) Transaction::writeData(tail, writeData);
            Transaction::idleRead(tail);
            if (exchange(ctx, tapId, tail, {{8, nullptr}})) return 1;
        }
    }
    if (ack) *ack = ackBits & 7u;
    return 0;
}

// The DP read of DPIDR that an SW-DP needs after a line reset, in the JTAG-DP layout.
uint32_t readDpidrInto(KpxContext* ctx, uint32_t tapId, uint8_t* reg) {
    uint8_t ack = 0, data[4] = {};
    if (swdRead(ctx, tapId, false, 0x00, &ack, data, nullptr)) return 1;
    storeResult(reg, swdAckToJtag(ack), data);
    return 0;
}

// Compare against expected values under the mask and hand the bits to the host's words.
void compareAndDeliver(KpxContext* ctx, uint32_t tapId, uint8_t* tdo, const uint8_t* expected, const uint8_t* mask,
                       uint16_t* host, uint32_t n) {
    if (!tdo || n == 0) return;
    const uint32_t bytes = (n + 7) / 8;
    if (expected) {
        for (uint32_t i = 0; i < bytes; ++i) tdo[i] ^= expected[i];
        cutLastByte(tdo, n);
    }
    if (mask) {
        for (uint32_t i = 0; i < bytes; ++i) tdo[i] &= static_cast<uint8_t>(~mask[i]);
        cutLastByte(tdo, n);
    }
    if (expected) {
        for (uint32_t i = 0; i < bytes; ++i)
            if (tdo[i]) {
                transportOf(ctx).cmpErrorFlag[tapId < kTapSlots ? tapId : 0] = 1;
                break;
            }
    }
    if (host) {
        const uint32_t whole = n / 16;
        for (uint32_t k = 0; k < whole; ++k) host[k] = static_cast<uint16_t>(tdo[2 * k] | tdo[2 * k + 1] << 8);
        const uint32_t rest = n % 16;
        if (rest >= 1 && rest <= 8) host[whole] = tdo[2 * whole];
        else if (rest > 8) host[whole] = static_cast<uint16_t>(tdo[2 * whole] | tdo[2 * whole + 1] << 8);
    }
}

// The controller asks for the ADIv5.2 dormant-to-SWD wake-up before the line reset.
bool wakeFromDormant(const KpxContext* ctx) { return transportOf(ctx).swdDormantWakeUp != 0; }

}  // namespace

uint8_t swdRequestByte(bool apNdp, bool read, uint8_t addressBits) {
    uint8_t q = static_cast<uint8_t>(0x81 | (apNdp ? 0x02 : 0) | (read ? 0x04 : 0) | (addressBits & 0x18));
    if (std::popcount(static_cast<unsigned>(q & 0x1E)) & 1) q |= 0x20;
    return q;
}

uint8_t swdAckToJtag(uint8_t ack) {
    static constexpr uint8_t kMap[8] = {0, 2, 1, 3, 2, 5, 6, 7};
    return kMap[ack & 7u];
}

uint32_t swdRead(KpxContext* ctx, uint32_t tapId, bool apNdp, uint8_t addressBits, uint8_t* ack, uint8_t* data,
                 uint8_t* parity) {
    return transact(ctx, tapId, apNdp, true, addressBits, ack, data, parity, nullptr);
}

uint32_t swdWrite(KpxContext* ctx, uint32_t tapId, bool apNdp, uint8_t addressBits, uint8_t* ack,
                  const uint8_t* data) {
    return transact(ctx, tapId, apNdp, false, addressBits, ack, nullptr, nullptr, data);
}

// --- virtual instruction register ---

uint32_t swdCaptureIr(KpxContext* ctx, uint32_t tapId) {
    tapOf(ctx, tapId).irShift = 0x1;
    return 0;
}

uint32_t swdShiftIr(KpxContext* ctx, uint32_t tapId, const uint8_t* tdi, uint8_t* tdo, uint32_t n) {
    SwdTapState& t = tapOf(ctx, tapId);
    t.irUpdatePending = 1;
    if (n == 0) return 0;
    uint8_t ir = t.irShift & 0xF;
    for (uint32_t i = 0; i < n; ++i) {
        if (tdo) setBit(tdo, i, ir & 1);
        const bool in = tdi && bitAt(tdi, i);
        ir = static_cast<uint8_t>((ir >> 1) | (in ? 0x8 : 0));
    }
    if (tdo) cutLastByte(tdo, n);
    t.irShift = ir;
    return 0;
}

uint32_t swdUpdateIr(KpxContext* ctx, uint32_t tapId) {
    SwdTapState& t = tapOf(ctx, tapId);
    t.currentIr = t.irShift & 0xF;
    t.irUpdatePending = 0;
    t.selectedDrLength = kInstructions[t.currentIr].length;
    t.selectedDr = registerOf(t, t.currentIr);
    return 0;
}

// --- virtual data registers ---

uint32_t swdCaptureDr(KpxContext* ctx, uint32_t tapId) {
    SwdTapState& t = tapOf(ctx, tapId);
    switch (t.selectedDr ? t.currentIr : 0) {
    case IR_SCIL19_IDCODE:
        storeRegister(t.idcode, 32, kScil19Idcode);
        break;
    case IR_ABORT:
        if (t.abortAckPending) {
            t.abortReg[0] = static_cast<uint8_t>((t.abortReg[0] & ~0x7u) | 0x2u);
            t.abortAckPending = 0;
        }
        break;
    case IR_DPACC:
        if (t.dpidrReadPending) {
            if (readDpidrInto(ctx, tapId, t.dpacc)) return 1;
            t.dpidrReadPending = 0;
        }
        break;
    case IR_APACC:
        break;
    case IR_SCIL19_CONNECT:
        std::memcpy(t.connect, t.connectValue, 2);
        break;
    case IR_IDCODE:
        if (swdRead(ctx, tapId, false, 0x00, nullptr, t.idcodeDp, nullptr)) return 1;
        break;
    default:
        t.bypass[0] = 0;
        break;
    }
    return 0;
}

uint32_t swdShiftDr(KpxContext* ctx, uint32_t tapId, const uint8_t* tdi, uint8_t* tdo, uint32_t n) {
    SwdTapState& t = tapOf(ctx, tapId);
    t.drUpdatePending = 1;
    if (n == 0) return 0;
    uint32_t length;
    uint8_t* reg = selected(t, &length);
    // Bit i out is register bit i while i < L, then TDI bit i - L; the register keeps the last
    // L bits in (zeros where no TDI came).
    if (tdo)
        for (uint32_t i = 0; i < n; ++i) setBit(tdo, i, i < length ? bitAt(reg, i) : tdi && bitAt(tdi, i - length));
    if (n < length) {
        uint64_t v = loadRegister(reg, length) >> n;
        for (uint32_t i = 0; i < n; ++i)
            if (tdi && bitAt(tdi, i)) v |= uint64_t(1) << (length - n + i);
        storeRegister(reg, length, v);
    } else {
        uint64_t v = 0;
        for (uint32_t i = 0; i < length; ++i)
            if (tdi && bitAt(tdi, n - length + i)) v |= uint64_t(1) << i;
        storeRegister(reg, length, v);
    }
    if (tdo) cutLastByte(tdo, n);
    return 0;
}

uint32_t swdUpdateDr(KpxContext* ctx, uint32_t tapId, uint8_t* tdo, uint32_t n) {
    SwdTapState& t = tapOf(ctx, tapId);
    const uint8_t ir = t.selectedDr ? t.currentIr : 0;
    if (ir == IR_ABORT) {
        uint8_t ack = 0, data[4];
        dataOf(t.abortReg, data);
        if (swdWrite(ctx, tapId, false, 0x00, &ack, data)) return 1;
        storeResult(t.abortReg, swdAckToJtag(ack), nullptr);
    } else if (ir == IR_DPACC || ir == IR_APACC) {
        uint8_t* reg = ir == IR_DPACC ? t.dpacc : t.apacc;
        const bool ap = ir == IR_APACC;
        const uint8_t addressBits = static_cast<uint8_t>((reg[0] & 0x6) << 2);
        uint8_t ack = 0, data[4];
        if (reg[0] & 1) {
            if (swdRead(ctx, tapId, ap, addressBits, &ack, data, nullptr)) return 1;
            storeResult(reg, swdAckToJtag(ack), data);
            // The read result is in the TDO of the scan that asked for it already.
            if (tdo && n > 0) {
                const uint32_t bits = n < kAccessLength ? n : kAccessLength;
                std::memcpy(tdo, reg, bits / 8);
                if (bits % 8) {
                    const uint8_t low = static_cast<uint8_t>((1u << (bits % 8)) - 1);
                    tdo[bits / 8] = static_cast<uint8_t>((tdo[bits / 8] & ~low) | (reg[bits / 8] & low));
                }
            }
        } else {
            dataOf(reg, data);
            if (swdWrite(ctx, tapId, ap, addressBits, &ack, data)) return 1;
            storeResult(reg, swdAckToJtag(ack), nullptr);
            if (!ap) {
                const uint32_t value = wordOf(data);
                if (addressBits == 0x08 && (t.selectShadow & 0xF) == 0) t.overrunDetect = value & 1;
                else if (addressBits == 0x10) t.selectShadow = value;
            }
            if (tdo && n > 0) tdo[0] = static_cast<uint8_t>((tdo[0] & ~0x7u) | swdAckToJtag(ack));
        }
    } else if (ir == IR_SCIL19_CONNECT) {
        std::memcpy(t.connectValue, t.connect, 2);
    }
    t.drUpdatePending = 0;
    return 0;
}

uint32_t swdScan(KpxContext* ctx, uint32_t flags, uint32_t tapId, const uint8_t* tdiBytes, uint32_t n,
                 uint8_t* tdoBytes, const uint8_t* expectedBytes, const uint8_t* maskBytes, uint16_t* hostTdo,
                 uint8_t*) {
    SwdTapState& t = tapOf(ctx, tapId);
    std::unique_ptr<uint8_t, decltype(&std::free)> temporary(nullptr, &std::free);
    if (!tdoBytes && (expectedBytes || hostTdo)) {
        temporary.reset(static_cast<uint8_t*>(std::calloc((n + 7) / 8 + 1, 1)));
        if (!temporary) return fail(ctx, err::MEMORY_ALLOCATION);
        tdoBytes = temporary.get();
    }
    const bool update = !(flags & SWD_SCAN_TO_PAUSE);
    if (flags & SWD_SCAN_DR) {
        if (t.irUpdatePending && swdUpdateIr(ctx, tapId)) return 1;
        if (!t.drUpdatePending && swdCaptureDr(ctx, tapId)) return 1;
        swdShiftDr(ctx, tapId, tdiBytes, tdoBytes, n);
        if (update && swdUpdateDr(ctx, tapId, tdoBytes, n)) return 1;
    } else {
        if (t.drUpdatePending && swdUpdateDr(ctx, tapId)) return 1;
        if (!t.irUpdatePending && swdCaptureIr(ctx, tapId)) return 1;
        swdShiftIr(ctx, tapId, tdiBytes, tdoBytes, n);
        if (update && swdUpdateIr(ctx, tapId)) return 1;
    }
    compareAndDeliver(ctx, tapId, tdoBytes, expectedBytes, maskBytes, hostTdo, n);
    return 0;
}

// --- line reset ---

uint32_t swdLineReset(KpxContext* ctx, uint32_t tapId) {
    if (ensureControllerReady(ctx)) return 1;
    SwdTapState& t = tapOf(ctx, tapId);
    if (t.drUpdatePending && swdUpdateDr(ctx, tapId)) return 1;
    if (t.irUpdatePending && swdUpdateIr(ctx, tapId)) return 1;
    if (selectTap(ctx, tapId)) return 1;

    uint8_t pattern[sizeof kDormantWakeUp + sizeof kLineResetPattern];
    uint32_t length = 0;
    if (wakeFromDormant(ctx)) {
        std::memcpy(pattern, kDormantWakeUp, sizeof kDormantWakeUp);
        length = sizeof kDormantWakeUp;
    }
    std::memcpy(pattern + length, kLineResetPattern, sizeof kLineResetPattern);
    length += sizeof kLineResetPattern;

    uint8_t bytes[3 + sizeof pattern + 4];
    uint32_t used = 0;
    const bool buffered = transportOf(ctx).bufferingType != 0;
    const uint32_t sent = buffered ? length : length - 1;   // unbuffered, the idle byte is read back
    bytes[used++] = OP_BYTES_OUT;
    bytes[used++] = static_cast<uint8_t>(sent - 1);
    bytes[used++] = static_cast<uint8_t>((sent - 1) >> 8);
    std::memcpy(bytes + used, pattern, sent);
    used += sent;
    if (buffered) {
        if (queueCommands(ctx, bytes, used, 0)) return 1;
    } else {
        bytes[used++] = OP_BITS_INOUT;
        bytes[used++] = 0x07;
        bytes[used++] = 0x00;
        bytes[used++] = OP_SEND_IMMEDIATE;
        ResultRecord* rec = newResultRecord(ctx);
        if (!rec) return 1;
        rec->tapId = tapId;
        rec->bitCount = 8;
        rec->lastBitPosition = 7;
        if (queueCommands(ctx, bytes, used, 1)) return 1;
        if (waitForResults(ctx, WAIT_ALL)) return 1;
    }

    t.currentIr = IR_IDCODE;
    t.selectedDrLength = kInstructions[IR_IDCODE].length;
    t.selectedDr = t.idcodeDp;
    t.abortAckPending = 1;
    t.dpidrReadPending = 1;
    storeRegister(t.abortReg, kAccessLength, kInstructions[IR_ABORT].initialValue);
    storeRegister(t.dpacc, kAccessLength, kInstructions[IR_DPACC].initialValue);
    storeRegister(t.apacc, kAccessLength, kInstructions[IR_APACC].initialValue);
    t.overrunDetect = 0;
    return 0;
}

}  // namespace dorvane
