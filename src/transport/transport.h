// The transport layer: device opening, the command queue, the receive thread and result
// delivery, controller initialisation and synchronisation, buffering, the clock divisor.
#pragma once

#include <cstdint>
#include <memory>

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

// The receive thread's life, as the calling threads see it (under threadLock).
enum class ReceiveThreadState : uint32_t { Stopped = 0, Starting = 1, Running = 2 };
// How a TAP is reached: a JTAG TAP, or the SWD bridge's virtual JTAG-DP (KCF "Mode").
enum class TapMode : uint8_t { Jtag = 0, SwdBridge = 1 };

// The transport's part of the controller context: the driver, the receive thread and result
// list, the command buffer, buffering and set-up state, the clock and the driver time-outs.
// It also keeps what the layers above share and the transport itself reads or sets up: the
// pin set-up sent at controller start, the TMS and TRST line levels, the selected TAPs and
// the compare verdict the receive thread raises. That shared state (and the mismatch count
// and a marker record's read-back byte) is written by whichever layer clocks the line; the
// rest changes through the transport's functions.
struct TransportPart : ContextPart {
    static constexpr PartId kId = PartId::Transport;

    uint32_t resuming = 0;          // set while a resume opens the controller
    uint32_t setupFlags = 0;
    uint32_t bufferingType = 0;

    // Result list and command buffer.
    platform::Lock resultLock;
    ReceiveThreadState receiveThreadState = ReceiveThreadState::Stopped;
    ResultBlock* resultTail = nullptr;
    ResultBlock* resultHead = nullptr;
    uint8_t* commandBuffer = nullptr;
    uint32_t commandBufferCapacity = 0;
    uint32_t commandBufferLength = 0;
    uint32_t writeChunk = 0;
    uint32_t threadError = 0;
    uint32_t mismatchBitCount = 0;
    platform::Lock threadLock;

    // Read-back counters.
    uint32_t pendingReadBytes = 0;
    uint32_t receivedHandover = 0;
    uint32_t receivedSinceHandover = 0;

    // Driver.
    uint32_t lastFtStatus = 1;
    void* ftHandle = nullptr;
    std::unique_ptr<platform::Event> rxEvent;          // signalled by the driver on received bytes
    std::unique_ptr<platform::Event> resultEvent;      // signalled by the receive thread for the waiting caller
    std::shared_ptr<void> receiveSide;                 // the receive side's reassembly state (receive_thread.cpp)
    std::unique_ptr<platform::Thread> receiveThread;
    uint32_t stopRequest = 0;        // set (atomically) by the stopper, read by the idle receive thread
    uint32_t discardGeneration = 0;  // bumped under resultLock by a discard; the thread drops its record

    // Clock and time-outs.
    uint32_t baseClockKHz = 0;
    int32_t maxTckKHz = 0;          // mirrored into controllerInfo.maxTckKHz
    int32_t minTckKHz = 0;
    uint32_t tckKHz = 0;            // mirrored into controllerInfo.tckKHz
    uint32_t readTimeoutMs = 125000;
    uint32_t writeTimeoutMs = 125000;
    uint32_t resultTimeoutMs = 125000;

    // Pin set-up (from the address or KCF file) and line levels.
    uint8_t trstBus = 0;
    uint8_t trstMask = 0;
    uint8_t effectiveLowDirection = 0;
    uint8_t effectiveHighDirection = 0;
    uint8_t dataBusDirection = 0;
    uint8_t dataBusValue = 0;
    uint8_t ctrlBusDirection = 0;
    uint8_t ctrlBusValue = 0;
    TapMode tapMode[kTapSlots] = {};
    uint8_t swdDormantWakeUp = 0;   // the SWD bridge's connect sequence starts with the wake-up
    uint32_t tmsHigh[kTapSlots] = {};
    uint32_t trstReleased[kTapSlots] = {};
    uint32_t selectedTapMask = 0;
    uint32_t cmpErrorFlag[kTapSlots] = {};
};

inline TransportPart& transportOf(KpxContext* ctx) { return ctx->part<TransportPart>(); }
inline const TransportPart& transportOf(const KpxContext* ctx) { return ctx->part<TransportPart>(); }
// Also through a guard (ContextGuard) or any holder with operator->.
template <class Holder>
TransportPart& transportOf(const Holder& held) { return held->template part<TransportPart>(); }

// lookupContext for the calls that need the receive thread: also fails (26007 recorded when
// reporting) while it is not running.
KpxContext* lookupRunningContext(uint32_t handle, uint32_t flags);

// fillControllerInfo with the transport's clock and TRST figures.
inline void refreshControllerInfo(KpxContext* ctx) {
    const TransportPart& t = transportOf(ctx);
    fillControllerInfo(ctx, t.maxTckKHz, t.tckKHz, t.trstBus != 0);
}

// Opening and lifecycle.
uint32_t openDevice(KpxContext** ctx, uint32_t* handle, const char* address);
uint32_t resetDevice(KpxContext* ctx);
uint32_t initController(KpxContext* ctx);
// initController for a controller another process suspended: its pins are left as they are
// and its set-up counts as done.
uint32_t initResumedController(KpxContext* ctx);
uint32_t stopReceiveThread(KpxContext* ctx);
uint32_t closeDevice(KpxContext* ctx);
// The chip leaves the USB bus and comes back, then the device is closed (mode 5).
uint32_t cyclePortAndClose(KpxContext* ctx);
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
// Takes kHz as the frequency in force without sending anything (resume: the chip kept it).
void adoptClock(KpxContext* ctx, uint32_t kHz);
// On the H-series chips, long scans at low frequencies need proportionally longer time-outs:
// the result, read and write time-outs follow the frequency in force.
uint32_t scaleTimeoutsToClock(KpxContext* ctx);

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
// After an operation ended part-way by an exception: records it reserved may never see their
// bytes go out. Unbuffered, every pending record is that operation's, and they are dropped so
// that no later wait waits for them; buffered, the held-back bytes and the records no longer
// match, and everything held back is discarded as buffering type 3 does.
void abandonResults(KpxContext* ctx);
// Buffers that a record owns (tdoBytes, multiBase, expected, mask) come from std::malloc.
void freeRecordBuffers(ResultRecord* rec);   // frees what the ownership flags name (std::free)

// Buffering.
uint32_t enableBuffering(KpxContext* ctx, uint32_t type);
uint32_t flushBuffering(KpxContext* ctx);
uint32_t disableBuffering(KpxContext* ctx);
// Flushes and turns buffering off for a stretch of unbuffered operations (nothing when it is
// off); restoreBuffering puts back the type in force before.
uint32_t pauseBuffering(KpxContext* ctx);
void restoreBuffering(KpxContext* ctx, uint32_t type);   // as type 0: flush, off, free the buffer

}  // namespace dorvane
