// KpxContext: one per open controller, reached only through its handle (core/handles.cpp).
// Each group of fields names the layer that owns it.
#pragma once

#include <cstdint>
#include <memory>

#include "dorvane/dorvane.h"
#include "platform/platform.h"

namespace dorvane {

struct ResultBlock;   // the transport's result list (transport/transport.h)

constexpr uint32_t kTapSlots = 2;   // per-TAP arrays are indexed by TAP id; only id 1 exists

// The receive thread's life, as the calling threads see it (under threadLock).
enum class ReceiveThreadState : uint32_t { Stopped = 0, Starting = 1, Running = 2 };
// How a TAP is reached: a JTAG TAP, or the SWD bridge's virtual JTAG-DP (KCF "Mode").
enum class TapMode : uint8_t { Jtag = 0, SwdBridge = 1 };
// A TAP's scan protocol (scan_protocol): 2 slows the first TCK out of Run-Test/Idle.
enum class ScanProtocol : uint32_t { Normal = 0, SlowRtiExit = 2 };

// The SWD bridge's per-TAP virtual JTAG-DP (swd/). A state move commits the pending virtual
// Update-IR / Update-DR; the rest belongs to the bridge alone.
struct SwdTapState {
    uint8_t irUpdatePending = 0;
    uint8_t drUpdatePending = 0;
    uint8_t irShift = 0;
    uint8_t currentIr = 0;
    uint8_t* selectedDr = nullptr;  // into this record; null until the first line reset
    uint32_t selectedDrLength = 0;
    uint8_t idcode[4] = {};
    uint8_t abortReg[5] = {};
    uint8_t dpacc[5] = {};
    uint8_t apacc[5] = {};
    uint8_t connect[2] = {};
    uint8_t idcodeDp[4] = {};
    uint8_t bypass[1] = {};
    uint8_t connectValue[2] = {};   // SCIL19_CONNECT as latched by its last Update-DR
    uint8_t abortAckPending = 0;    // the next ABORT capture shows ACK 010
    uint8_t dpidrReadPending = 0;   // the next DPACC capture reads DPIDR first
    uint8_t overrunDetect = 0;      // transactions in the pipelined form
    uint32_t selectShadow = 0;      // last value written to DP SELECT
};

struct KpxContext {
    // --- core: identity
    uint32_t handle = 0;
    platform::Lock contextLock;
    char serialNumber[64] = {};
    uint32_t logicalUnitNumber = 0;
    char controllerAddress[64] = {};

    // --- jtag (per TAP), pod: trstReleased
    uint32_t irStopState[kTapSlots] = {};
    uint32_t drStopState[kTapSlots] = {};
    uint32_t tapState[kTapSlots] = {};
    uint32_t cmpErrorFlag[kTapSlots] = {};
    ScanProtocol tapProtocol[kTapSlots] = {};
    uint32_t slowExitArmed[kTapSlots] = {};
    uint32_t trstReleased[kTapSlots] = {};

    // --- core: the controller's last error; transport: set while a resume opens the controller
    uint32_t lastError = 0;
    uint32_t resuming = 0;

    // --- transport (setup flags, buffering), jtag (buffersOwned)
    uint32_t setupFlags = 0;
    uint32_t bufferingType = 0;
    uint32_t buffersOwned = 0;

    // --- transport: result list and command buffer
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

    // --- jtag
    uint32_t tmsHigh[kTapSlots] = {};

    // --- transport: read-back counters
    uint32_t pendingReadBytes = 0;
    uint32_t receivedHandover = 0;
    uint32_t receivedSinceHandover = 0;

    // --- transport: driver
    uint32_t lastFtStatus = 0;
    void* ftHandle = nullptr;
    std::unique_ptr<platform::Event> rxEvent;          // signalled by the driver on received bytes
    std::unique_ptr<platform::Event> resultEvent;      // signalled by the receive thread for the waiting caller
    std::shared_ptr<void> receiveSide;                 // the receive side's reassembly state (receive_thread.cpp)
    std::unique_ptr<platform::Thread> receiveThread;
    uint32_t stopRequest = 0;        // set (atomically) by the stopper, read by the idle receive thread
    uint32_t discardGeneration = 0;  // bumped under resultLock by a discard; the thread drops its record

    // --- core: the controller information record and the value words it points to
    DorvaneControllerInfo controllerInfo = {};
    uint32_t infoValueWords[4] = {};

    // --- jtag / transport clock fields, timeouts
    uint32_t selectedTapMask = 0;
    uint32_t baseClockKHz = 0;
    int32_t maxTckKHz = 0;          // mirrored into controllerInfo.maxTckKHz
    int32_t minTckKHz = 0;
    uint32_t tckKHz = 0;            // mirrored into controllerInfo.tckKHz
    uint8_t waitBySleep = 0;        // jtag: wait_time sleeps instead of clocking (set by a mode)
    // persist: the suspend store's "Clock" record and the records modes 8 and 9 hand out
    uint32_t clockRecord[3] = {};
    uint32_t modeRecord8[2] = {};
    uint32_t modeRecord9[6] = {};
    uint32_t readTimeoutMs = 0;
    uint32_t writeTimeoutMs = 0;
    uint32_t resultTimeoutMs = 0;

    // --- pod: pin set-up
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

    // --- swd
    SwdTapState swd[kTapSlots];
};

// Lookup flags.
constexpr uint32_t LOOKUP_REPORT = 0x1;
constexpr uint32_t LOOKUP_RUNNING = 0x2;

// Handle table (core/handles.cpp).
KpxContext* allocateContext(uint32_t* handle);
KpxContext* lookupContext(uint32_t handle, uint32_t flags);
// Normally called while holding the context's contextLock (from allocateContext or
// lookupContext): the lock is destroyed with the context, so a ContextGuard over it must be
// release()d first.
void releaseContext(uint32_t handle);
uint32_t lockWithTimeout(platform::Lock& lock, uint32_t timeoutMs);   // 0 taken, 1 timed out
// Number of controllers whose contexts are still in the handle table.
uint32_t openContextCount();
// One past the highest handle the table can hold now (1 while there is no table).
uint32_t handleLimit();

// Fills the controller information record from the context (core/controller_info.cpp).
void fillControllerInfo(KpxContext* ctx);

// Leaves contextLock when the exported call returns, on every path.
class ContextGuard {
public:
    explicit ContextGuard(KpxContext* ctx) : ctx_(ctx) {}
    ~ContextGuard() { if (ctx_) ctx_->contextLock.unlock(); }
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;
    KpxContext* get() const { return ctx_; }
    KpxContext* operator->() const { return ctx_; }
    explicit operator bool() const { return ctx_ != nullptr; }
    KpxContext* release() { KpxContext* c = ctx_; ctx_ = nullptr; return c; }
private:
    KpxContext* ctx_;
};

}  // namespace dorvane
