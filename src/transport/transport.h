// The transport layer: device opening, the command queue, the receive thread and result
// delivery, controller initialisation and synchronisation, buffering, the clock divisor.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace dorvane {

// Pending-answer record (40 bytes on 32-bit builds).
struct ResultRecord {
    uint32_t tapId;
    uint32_t lastBitPosition;
    uint32_t flags;
    uint32_t bitCount;
    volatile uint32_t* doneFlag;   // cleared by the receive thread at delivery
    uint8_t* tdoBytes;
    uint8_t* multiBase;
    uint16_t* tdoWords;
    uint8_t* expected;
    uint8_t* mask;
};

enum : uint32_t {
    RR_OWN_TDO = 0x001, RR_OWN_MULTI = 0x002, RR_OWN_EXPECTED = 0x004, RR_OWN_MASK = 0x008,
    RR_LAST_BIT_SEPARATE = 0x010, RR_COMPARE = 0x020, RR_MASK = 0x080, RR_PENDING = 0x200,
    RR_RAW = 0x400, RR_COUNT_MISMATCH = 0x800, RR_STOP_THREAD = 0x1000,
};

constexpr uint32_t kRecordsPerBlock = 100;

struct ResultBlock {
    ResultBlock* next;
    uint32_t sequence;
    uint32_t count;
    uint32_t readIndex;
    ResultRecord records[kRecordsPerBlock];
};
// Result blocks come from std::calloc and are freed with std::free (releaseController frees the
// whole list); commandBuffer comes from std::malloc / std::realloc and is freed with std::free.

// setupFlags bits.
enum : uint32_t {
    SETUP_DIVISOR_SENT = 0x01, SETUP_PINS_SENT = 0x02, SETUP_READY = 0x04, SETUP_DONE = 0x08,
    SETUP_WAITED = 0x10, SETUP_STOP_REQUEST = 0x20,
};

constexpr uint32_t kWriteChunk = 4096;
constexpr uint32_t kReadBackLimit = 65536;

// Opening and lifecycle.
uint32_t openDevice(KpxContext** ctx, uint32_t* handle, const char* address);
uint32_t resetDevice(KpxContext* ctx);
uint32_t initController(KpxContext* ctx);
uint32_t stopReceiveThread(KpxContext* ctx);
uint32_t closeDevice(KpxContext* ctx);
void resetSessionState(KpxContext* ctx);
// Frees the result list and the command buffer, then the context and its handle (its
// contextLock ends with it). The receive thread must be stopped.
void releaseController(KpxContext* ctx, uint32_t handle);
// Sets the driver's read and write time-outs, keeping the status in lastFtStatus; 0 or 1 recorded.
uint32_t setDriverTimeouts(KpxContext* ctx, uint32_t readMs, uint32_t writeMs);
uint32_t emitPinSetup(KpxContext* ctx);
uint32_t ensureControllerReady(KpxContext* ctx);
// Builds (out non-null) or sends the TCK divisor command; returns the byte count, 0 on failure.
uint32_t emitClockDivisor(KpxContext* ctx, uint32_t kHz, uint32_t record, uint8_t* out);

// Command queue.
uint32_t queueCommands(KpxContext* ctx, const uint8_t* bytes, uint32_t length, uint32_t readBytes);
uint32_t waitForReadRoom(KpxContext* ctx);
uint32_t growCommandBuffer(KpxContext* ctx, uint32_t additional);
void resetWriteChunk(KpxContext* ctx);

// Results.
ResultRecord* newResultRecord(KpxContext* ctx);
enum : uint32_t { WAIT_SEND = 0, WAIT_ALL = 1, WAIT_DISCARD = 2 };
uint32_t waitForResults(KpxContext* ctx, uint32_t mode);
// Waits (without limit) until the receive thread clears the word at a record's delivery, or
// posts an error (recorded, 1).
uint32_t waitForDelivery(KpxContext* ctx, volatile uint32_t* word);
// Buffers that a record owns (tdoBytes, multiBase, expected, mask) come from std::malloc.
void freeRecordBuffers(ResultRecord* rec);   // frees what the ownership flags name (std::free)

// Buffering.
uint32_t enableBuffering(KpxContext* ctx, uint32_t type);
uint32_t flushBuffering(KpxContext* ctx);
uint32_t disableBuffering(KpxContext* ctx);   // as type 0: flush, off, free the buffer

}  // namespace dorvane
