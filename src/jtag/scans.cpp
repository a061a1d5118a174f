// The IR/DR scan engine, the raw TDI/TDO engine and the exported scans of both kinds.
#include <bit>
#include <cstdlib>

#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "swd/swd.h"
#include "transport/transport.h"

using namespace dorvane;

namespace dorvane {
namespace {

constexpr uint32_t kChunkBytes = 2048;   // largest byte command: 16384 TCKs
constexpr uint32_t kSlack = 5;

// Room for the entry path (with the slow first TCK), one full chunk with its header, the
// partial-bit and last-bit commands, the end path and the send-immediate.
using ScanBuffer = CommandBytes<kChunkBytes + 64>;

bool scanWaits(const KpxContext* ctx, bool chained, bool haveTdo) {
    if (chained) return false;
    return transportOf(ctx).bufferingType == 0 || (transportOf(ctx).bufferingType == 1 && haveTdo);
}

// Emits n / 8 whole bytes starting at tdi (or zeros / nothing), in chunks whose first one is
// the remainder; every chunk but the last is queued at once. Returns 0 and leaves the size of
// the last chunk (still in buf) in lastChunk.
uint32_t emitWholeBytes(KpxContext* ctx, ScanBuffer& buf, uint8_t opcode, const uint8_t* tdi, uint32_t whole,
                        bool countReads, uint32_t* lastChunk) {
    *lastChunk = 0;
    uint32_t done = 0;
    while (done < whole) {
        uint32_t remaining = whole - done;
        uint32_t chunk = remaining % kChunkBytes;
        if (chunk == 0) chunk = kChunkBytes;
        buf.put(opcode, static_cast<uint8_t>((chunk - 1) & 0xFF), static_cast<uint8_t>((chunk - 1) >> 8));
        if (opcode != OP_BYTES_IN) {
            if (tdi) buf.put(tdi + done, chunk);
            else buf.zeros(chunk);
        }
        done += chunk;
        if (done < whole) {
            if (queueCommands(ctx, buf.data, buf.length, countReads ? chunk : 0)) return 1;
            buf.clear();
        } else {
            *lastChunk = chunk;
        }
    }
    return 0;
}

// The end of a scan that waits: send-immediate, queue, wait for every record, then for the
// operation's own completion words.
uint32_t finishWaiting(KpxContext* ctx, ScanBuffer& buf, uint32_t readCount, volatile uint32_t* w1,
                       volatile uint32_t* w2) {
    buf.put(OP_SEND_IMMEDIATE);
    if (queueCommands(ctx, buf.data, buf.length, readCount)) return 1;
    if (waitForResults(ctx, WAIT_ALL)) return 1;
    if (w1 && waitCompletionWord(ctx, w1)) return 1;
    if (w2 && waitCompletionWord(ctx, w2)) return 1;
    return 0;
}

}  // namespace

void wordsToBytes(const uint16_t* words, uint32_t n, uint8_t* out) {
    uint32_t bytes = (n + 7) / 8;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, words, bytes);
    } else {
        for (uint32_t j = 0; j < bytes; ++j)
            out[j] = static_cast<uint8_t>(j & 1 ? words[j / 2] >> 8 : words[j / 2]);
    }
}

uint8_t* copyWordsToBytes(const uint16_t* words, uint32_t n) {
    size_t bytes = (static_cast<size_t>(n) + 7) / 8;
    auto* out = static_cast<uint8_t*>(std::malloc(bytes + kSlack));
    if (!out) return nullptr;
    wordsToBytes(words, n, out);
    std::memset(out + bytes, 0, kSlack);
    return out;
}

uint8_t* allocateTdoBytes(uint32_t n) {
    size_t bytes = (static_cast<size_t>(n) + 7) / 8 + kSlack;
    return static_cast<uint8_t*>(std::calloc(bytes, 1));
}

uint32_t scanRegister(KpxContext* ctx, uint32_t flags, uint32_t tapId, const uint8_t* tdiBytes, uint32_t n,
                      uint8_t* tdoBytes, uint8_t* expectedBytes, uint8_t* maskBytes, uint16_t* hostTdo,
                      uint8_t* multiBase) {
    if (tapId < kTapSlots && transportOf(ctx).tapMode[tapId] == TapMode::SwdBridge)
        return swdScan(ctx, flags, tapId, tdiBytes, n, tdoBytes, expectedBytes, maskBytes, hostTdo, multiBase);
    if (ensureControllerReady(ctx)) return 1;
    const uint32_t tapMask = tapMaskOfId(tapId);
    if (selectTaps(ctx, tapMask)) return 1;

    const bool dr = flags & SCAN_DR;
    const bool toPause = flags & SCAN_TO_PAUSE;
    const bool chained = flags & SCAN_CHAINED;
    const bool buffered = transportOf(ctx).bufferingType != 0;
    // A zero-length scan clocks no data, so it has nothing to read.
    const bool reading = n > 0 && (tdoBytes || expectedBytes);
    const uint32_t s = tapsOf(ctx).tapState[tapId];
    const uint32_t pauseState = dr ? ST_PDR : ST_PIR;

    ScanBuffer buf;
    if ((s < ST_TLR || s > ST_PIR) && s != ST_CHAINED_EXIT1) return fail(ctx, err::STABLE_STATE_EXPECTED_17);
    // A zero-length to-pause scan in its own pause state only idles one TCK there.
    const bool stayInPause = toPause && n == 0 && s == pauseState;
    if (stayInPause) {
        // no entry path
    } else if (s == ST_RTI && tapsOf(ctx).slowExitArmed[tapId]) {
        if (appendSlowFirstTck(ctx, buf.data, &buf.length)) return 1;
        buf.length += slowScanEntryTailBytes(dr, n > 0, buf.data + buf.length);
        tapsOf(ctx).slowExitArmed[tapId] = 0;
    } else {
        buf.length += scanEntryBytes(s, dr, n > 0, buf.data + buf.length);
    }

    const bool waits = scanWaits(ctx, chained, tdoBytes != nullptr);
    volatile uint32_t dataDone = 0;
    volatile uint32_t markerDone = 0;
    bool useDataDone = false;
    bool useMarkerDone = false;
    uint32_t readCount = 0;

    if (n > 0) {
        const uint32_t W = (n - 1) / 8;
        const uint32_t R = (n - 1) % 8;
        uint8_t byteOp;
        if (tdiBytes) byteOp = reading ? OP_BYTES_INOUT : OP_BYTES_OUT;
        else byteOp = reading ? OP_BYTES_IN : OP_BYTES_OUT;

        if (reading) {
            ResultRecord* rec = newResultRecord(ctx);
            if (!rec) return 1;
            uint32_t rf = RR_LAST_BIT_SEPARATE;
            if (expectedBytes) {
                rf |= RR_COMPARE;
                if (maskBytes) rf |= RR_MASK;
            }
            if (tapsOf(ctx).buffersOwned && !chained) {
                if (multiBase) rf |= RR_OWN_MULTI;
                else if (tdoBytes && tdoBytes != reinterpret_cast<uint8_t*>(hostTdo)) rf |= RR_OWN_TDO;
                if (expectedBytes) rf |= RR_OWN_EXPECTED;
                if (maskBytes) rf |= RR_OWN_MASK;
            }
            rec->tapId = tapId;
            rec->lastBitPosition = (n - 1) % 8;
            rec->bitCount = n;
            rec->tdoBytes = tdoBytes;
            rec->multiBase = multiBase;
            rec->tdoWords = hostTdo;
            rec->expected = expectedBytes;
            rec->mask = (rf & RR_MASK) ? maskBytes : nullptr;
            if (tdoBytes && waits) {
                dataDone = 1;
                rec->doneFlag = &dataDone;
                useDataDone = true;
            }
            rec->flags |= rf;
            if (!chained) tapsOf(ctx).buffersOwned = 0;
        }

        uint32_t lastChunk = 0;
        if (emitWholeBytes(ctx, buf, byteOp, tdiBytes, W, reading, &lastChunk)) return 1;
        if (R > 0) {
            if (tdiBytes) {
                buf.put(reading ? OP_BITS_INOUT : OP_BITS_OUT, static_cast<uint8_t>(R - 1), tdiBytes[W]);
            } else if (reading) {
                buf.put(OP_BITS_IN, static_cast<uint8_t>(R - 1));
            } else {
                buf.put(OP_BITS_OUT, static_cast<uint8_t>(R - 1), 0x00);
            }
        }
        const uint8_t lastBit = tdiBytes ? static_cast<uint8_t>((tdiBytes[W] >> R) & 1) : 0;
        buf.put(reading ? OP_TMS_READ : OP_TMS, 0x00, lastBit ? 0x83 : 0x03);
        if (reading) readCount = lastChunk + (R > 0 ? 2 : 1);
    }

    // End path; the state is recorded before the bytes go out.
    if (toPause) {
        buf.put(OP_TMS, 0x00, 0x80);
        recordTapState(ctx, tapMask, pauseState);
        recordTmsHigh(ctx, tapMask, 0);
    } else if (chained) {
        recordTapState(ctx, tapMask, ST_CHAINED_EXIT1);
    } else {
        const uint32_t stop = dr ? tapsOf(ctx).drStopState[tapId] : tapsOf(ctx).irStopState[tapId];
        uint8_t len, tms;
        stopPathBytes(stop, &len, &tms);
        if (buffered) {
            buf.put(OP_TMS, len, tms);
        } else {
            markerDone = 1;
            if (registerMarker(ctx, 1, &markerDone)) return 1;
            useMarkerDone = true;
            buf.put(OP_TMS_READ, len, tms);
        }
        recordTapState(ctx, tapMask, stop);
        recordTmsHigh(ctx, tapMask, stop == ST_TLR);
    }

    if (waits)
        return finishWaiting(ctx, buf, readCount, useDataDone ? &dataDone : nullptr,
                             useMarkerDone ? &markerDone : nullptr);
    return queueCommands(ctx, buf.data, buf.length, readCount);
}

uint32_t scanRaw(KpxContext* ctx, uint32_t tapId, const uint8_t* tdiBytes, uint32_t n, uint8_t* tdoBytes,
                 uint8_t* expectedBytes, uint8_t* maskBytes, uint16_t* hostTdo) {
    if (ensureControllerReady(ctx)) return 1;
    if (n == 0) return 0;   // nothing to clock
    const bool reading = tdoBytes || expectedBytes;
    const bool drain = !reading && !tdiBytes;
    const bool waits = scanWaits(ctx, false, tdoBytes != nullptr);
    volatile uint32_t done = 0;
    bool useDone = false;
    if (reading || drain) {
        ResultRecord* rec = newResultRecord(ctx);
        if (!rec) return 1;
        uint32_t rf = tdoBytes == reinterpret_cast<uint8_t*>(hostTdo) ? 0u : uint32_t(RR_OWN_TDO);
        if (expectedBytes) {
            rf |= RR_COMPARE | RR_OWN_EXPECTED;
            if (maskBytes) rf |= RR_MASK | RR_OWN_MASK;
        }
        rec->tapId = tapId;
        rec->lastBitPosition = (n - 1) % 8;
        rec->bitCount = n;
        rec->tdoBytes = tdoBytes;
        rec->tdoWords = hostTdo;
        rec->expected = expectedBytes;
        rec->mask = (rf & RR_MASK) ? maskBytes : nullptr;
        // The waiting caller also watches its own record, so that its TDO is in place even
        // when the flush found nothing held back.
        if (waits && tdoBytes) {
            done = 1;
            rec->doneFlag = &done;
            useDone = true;
        }
        rec->flags |= rf;
        tapsOf(ctx).buffersOwned = 0;
    }
    if (selectTaps(ctx, tapMaskOfId(tapId))) return 1;

    ScanBuffer buf;
    const bool reads = reading || drain;
    uint8_t byteOp;
    if (tdiBytes) byteOp = reading ? OP_BYTES_INOUT : OP_BYTES_OUT;
    else byteOp = OP_BYTES_IN;
    uint32_t lastChunk = 0;
    const uint32_t whole = n / 8;
    if (emitWholeBytes(ctx, buf, byteOp, tdiBytes, whole, reads, &lastChunk)) return 1;
    uint32_t readCount = reads ? lastChunk : 0;
    const uint32_t L = n % 8;
    if (L) {
        if (tdiBytes) {
            buf.put(reading ? OP_BITS_INOUT : OP_BITS_OUT, static_cast<uint8_t>(L - 1), tdiBytes[whole]);
            if (reading) ++readCount;
        } else {
            buf.put(OP_BITS_IN, static_cast<uint8_t>(L - 1));
            ++readCount;
        }
    }
    if (transportOf(ctx).bufferingType == 0) {
        buf.put(OP_READ_HIGH);
        if (registerMarker(ctx, 8, nullptr)) return 1;
    }
    if (waits) return finishWaiting(ctx, buf, readCount, useDone ? &done : nullptr, nullptr);
    return queueCommands(ctx, buf.data, buf.length, readCount);
}

}  // namespace dorvane

// --- exports ---

namespace {

enum ScanKind : uint32_t { KIND_REGISTER, KIND_RAW };

// The common frame of every exported scan: checks, copies of the host's vectors, the engine,
// and the release of whatever no result record took over.
uint32_t runScan(uint32_t handle, ScanKind kind, uint32_t flags, uint32_t tapId, const uint16_t* tdi, uint32_t n,
                 uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (tapIdInvalid(c, tapId)) return fail(c, err::ILLEGAL_TAP_ID);
    if (tapsOf(c).tapState[tapId] == ST_UNKNOWN) return fail(c, err::STATE_UNKNOWN);
    if (kind == KIND_REGISTER && transportOf(c).trstReleased[tapId] == 0) return fail(c, err::TRST_ACTIVE);

    tapsOf(c).buffersOwned = 1;
    // On a little-endian host the word vectors already hold the bytes in scan order: a JTAG
    // scan reads TDI from them and the receive thread writes TDO into them directly, so a scan
    // allocates nothing. The SWD bridge reads and writes past the last byte, and big-endian
    // hosts need the byte order changed: they get copies.
    const bool direct = std::endian::native == std::endian::little &&
                        !(tapId < kTapSlots && transportOf(c).tapMode[tapId] == TapMode::SwdBridge);
    const uint8_t* tdiBytes = nullptr;
    uint8_t* tdiCopy = nullptr;
    uint8_t* tdoBytes = nullptr;
    uint8_t* expBytes = nullptr;
    uint8_t* maskBytes = nullptr;
    bool allocFailed = false;
    if (tdi && direct) tdiBytes = reinterpret_cast<const uint8_t*>(tdi);
    else if (tdi && !(tdiBytes = tdiCopy = copyWordsToBytes(tdi, n))) allocFailed = true;
    if (!allocFailed && expected && !(expBytes = copyWordsToBytes(expected, n))) allocFailed = true;
    // Without expected values a mask has nothing to act on.
    if (!allocFailed && expected && mask && !(maskBytes = copyWordsToBytes(mask, n))) allocFailed = true;
    const bool tdoDirect = tdo && direct && n > 0;
    if (tdoDirect) tdoBytes = reinterpret_cast<uint8_t*>(tdo);
    else if (!allocFailed && tdo && !(tdoBytes = allocateTdoBytes(n))) allocFailed = true;

    uint32_t r;
    if (allocFailed) {
        r = fail(c, err::MEMORY_ALLOCATION);
    } else if (kind == KIND_RAW) {
        r = scanRaw(c, tapId, tdiBytes, n, tdoBytes, expBytes, maskBytes, tdo);
    } else {
        r = scanRegister(c, flags, tapId, tdiBytes, n, tdoBytes, expBytes, maskBytes, tdo, nullptr);
    }
    std::free(tdiCopy);
    if (tapsOf(c).buffersOwned) {
        if (!tdoDirect) std::free(tdoBytes);
        std::free(expBytes);
        std::free(maskBytes);
    }
    return r;
}

constexpr uint32_t kIr = 0, kDr = SCAN_DR, kPause = SCAN_TO_PAUSE;

}  // namespace

uint32_t impl::x_scanIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                           uint16_t* tdo) {
    return runScan(handle, KIND_REGISTER, kIr, tapId, tdi, bitCount & 0xFFFF, tdo, nullptr, nullptr);
}

uint32_t impl::x_scanDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                           uint16_t* tdo) {
    return runScan(handle, KIND_REGISTER, kDr, tapId, tdi, bitCount & 0xFFFF, tdo, nullptr, nullptr);
}

uint32_t impl::x_scanToPauseIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                  uint32_t bitCount, uint16_t* tdo) {
    return runScan(handle, KIND_REGISTER, kIr | kPause, tapId, tdi, bitCount & 0xFFFF, tdo, nullptr, nullptr);
}

uint32_t impl::x_scanToPauseDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                  uint32_t bitCount, uint16_t* tdo) {
    return runScan(handle, KIND_REGISTER, kDr | kPause, tapId, tdi, bitCount & 0xFFFF, tdo, nullptr, nullptr);
}

uint32_t impl::x_scanTdio(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                             uint16_t* tdo) {
    return runScan(handle, KIND_RAW, 0, tapId, tdi, bitCount & 0xFFFF, tdo, nullptr, nullptr);
}

uint32_t impl::x_scanIrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                              uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kIr, tapId, tdi, bitCount & 0xFFFF, tdo, expected, mask);
}

uint32_t impl::x_scanDrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                              uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kDr, tapId, tdi, bitCount & 0xFFFF, tdo, expected, mask);
}

uint32_t impl::x_scanToPauseIrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                     uint32_t bitCount, uint16_t* tdo, const uint16_t* expected,
                                                     const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kIr | kPause, tapId, tdi, bitCount & 0xFFFF, tdo, expected, mask);
}

uint32_t impl::x_scanToPauseDrCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                     uint32_t bitCount, uint16_t* tdo, const uint16_t* expected,
                                                     const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kDr | kPause, tapId, tdi, bitCount & 0xFFFF, tdo, expected, mask);
}

uint32_t impl::x_scanTdioCmp(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                uint32_t bitCount, uint16_t* tdo, const uint16_t* expected,
                                                const uint16_t* mask) {
    return runScan(handle, KIND_RAW, 0, tapId, tdi, bitCount & 0xFFFF, tdo, expected, mask);
}

uint32_t impl::x_scanLIr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                            uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kIr, tapId, tdi, bitCount, tdo, expected, mask);
}

uint32_t impl::x_scanLDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi, uint32_t bitCount,
                                            uint16_t* tdo, const uint16_t* expected, const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kDr, tapId, tdi, bitCount, tdo, expected, mask);
}

uint32_t impl::x_scanLToPauseDr(uint32_t handle, uint32_t tapId, const uint16_t* tdi,
                                                   uint32_t bitCount, uint16_t* tdo, const uint16_t* expected,
                                                   const uint16_t* mask) {
    return runScan(handle, KIND_REGISTER, kDr | kPause, tapId, tdi, bitCount, tdo, expected, mask);
}
