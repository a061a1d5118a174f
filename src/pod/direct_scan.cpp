// Direct scan: one step byte per TCK with TDI, TMS and TRST levels and an optional TDO
// comparison, clocked as runs of byte and bit commands in batches.
#include <atomic>
#include <memory>

#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "pod/pod.h"
#include "transport/transport.h"

using namespace dorvane;

namespace dorvane {

DirectScanEncoder::DirectScanEncoder(const DirectScanPins& pins, uint32_t startState, bool tmsHigh, Hooks& hooks)
    : pins_(pins), hooks_(hooks) {
    cmd_.reserve(kBatchLimit + 64);
    for (int s = 0; s < 2; ++s) {
        expected_[s].assign(kSetBytes, 0);
        mask_[s].assign(kSetBytes, 0);
        receive_[s].assign(kSetBytes, 0);
    }
    // The chained-scan Exit1 code has no row in the tracking table: follow it as unknown.
    state_ = startState < kStateTableSize ? startState : ST_UNKNOWN;
    // The pin levels in force. TMS is high after a TMS reset, but also after a direct scan
    // that ended with TMS 1 in another state, and low in a Test-Logic-Reset reached by TRST:
    // the recorded TMS level says which, the TAP state does not.
    prev_ = tmsHigh ? (STEP_TMS | STEP_TDI) : STEP_TDI;
}

void DirectScanEncoder::setPins(uint8_t step) {
    const uint8_t T = static_cast<uint8_t>((step & STEP_TDI) << 1);
    const uint8_t M = step & STEP_TMS;
    const uint8_t R = (step & STEP_TRST) ? 0 : pins_.trstMask;
    const uint8_t low = T | M | pins_.dataBusValue | (pins_.trstBus == 1 ? R : 0);
    cmd_.insert(cmd_.end(), {OP_SET_LOW, low, pins_.lowDirection});
    if (pins_.trstBus == 2)
        cmd_.insert(cmd_.end(), {OP_SET_HIGH, static_cast<uint8_t>(pins_.ctrlBusValue | R), pins_.highDirection});
}

uint32_t DirectScanEncoder::closeCommand(bool holdBit) {
    if (!open_) return 0;
    const uint8_t hold = holdBit ? holdBit_ : 0;
    const uint8_t opcode = cmd_[opcodeAt_];
    if (fullBytes_ > 0) {
        cmd_[opcodeAt_ + 1] = static_cast<uint8_t>((fullBytes_ - 1) & 0xFF);
        cmd_[opcodeAt_ + 2] = static_cast<uint8_t>((fullBytes_ - 1) >> 8);
        if (bitPos_ > 0)
            cmd_.insert(cmd_.end(), {static_cast<uint8_t>(opcode | 0x02), static_cast<uint8_t>(bitPos_ - 1),
                                     static_cast<uint8_t>(partial_ | hold)});
    } else {
        cmd_[opcodeAt_] = static_cast<uint8_t>(opcode | 0x02);
        cmd_[opcodeAt_ + 1] = static_cast<uint8_t>(bitPos_ - 1);
        cmd_[opcodeAt_ + 2] = static_cast<uint8_t>(partial_ | hold);
    }
    if (reading_ && bitPos_ > 0) {
        // A bit read arrives in the top of its byte.
        const uint32_t at = runStart_ + runBytes_;
        expected_[set_][at] = static_cast<uint8_t>(partialExpected_ << (8 - bitPos_));
        mask_[set_][at] = static_cast<uint8_t>(0xFF << (8 - bitPos_));
        ++runBytes_;
        ++readBack_;
    }
    uint32_t r = 0;
    if (compareBits_ > 0) r = hooks_.runClosed(set_, runStart_, runBytes_, compareBits_);
    runStart_ += runBytes_;
    runBytes_ = 0;
    compareBits_ = 0;
    open_ = false;
    reading_ = false;
    fullBytes_ = 0;
    partial_ = 0;
    partialExpected_ = 0;
    bitPos_ = 0;
    holdBit_ = 0;
    return r;
}

uint32_t DirectScanEncoder::encode(const uint8_t* steps, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t S = steps[k];
        if ((S & STEP_TRST) && pins_.trstBus == 0) return 2;
        const uint8_t changed = static_cast<uint8_t>(prev_ ^ S);
        if (changed & (STEP_COMPARE | STEP_TMS | STEP_TRST))
            if (closeCommand(true)) return 1;
        if (cmd_.size() > kBatchLimit) {
            if (closeCommand(false)) return 1;
            if (hooks_.sendBatch(cmd_.data(), static_cast<uint32_t>(cmd_.size()), readBack_, set_)) return 1;
            set_ ^= 1;
            cmd_.clear();
            readBack_ = 0;
            runStart_ = 0;
        }
        if (changed & (STEP_TMS | STEP_TRST)) setPins(S);
        if (!open_) {
            open_ = true;
            reading_ = (S & STEP_COMPARE) != 0;
            opcodeAt_ = cmd_.size();
            cmd_.insert(cmd_.end(), {reading_ ? OP_BYTES_INOUT : OP_BYTES_OUT, 0x00, 0x00});
        }
        const uint8_t tdi = S & STEP_TDI;
        partial_ |= static_cast<uint8_t>(tdi << bitPos_);
        if (S & STEP_COMPARE) {
            ++compareBits_;
            partialExpected_ |= static_cast<uint8_t>(((S & STEP_EXPECT) >> 1) << bitPos_);
        }
        if (++bitPos_ == 8) {
            cmd_.push_back(partial_);
            ++fullBytes_;
            if (reading_) {
                const uint32_t at = runStart_ + runBytes_;
                expected_[set_][at] = partialExpected_;
                mask_[set_][at] = 0xFF;
                ++runBytes_;
                ++readBack_;
            }
            partial_ = 0;
            partialExpected_ = 0;
            bitPos_ = 0;
        }
        holdBit_ = static_cast<uint8_t>(tdi << bitPos_);
        state_ = (S & STEP_TRST) ? ST_TLR : nextTapState(state_, (S & STEP_TMS) ? 1 : 0);
        prev_ = S;
    }
    return closeCommand(true);
}

}  // namespace dorvane

namespace {

// Connects the encoder to the result records and the command queue of one controller.
class DirectScanRun final : public DirectScanEncoder::Hooks {
public:
    DirectScanRun(KpxContext* ctx, uint32_t tapId, bool countMismatches)
        : ctx_(ctx), tapId_(tapId), count_(countMismatches) {}
    void attach(DirectScanEncoder* enc) { enc_ = enc; }

    uint32_t runClosed(uint32_t set, uint32_t offset, uint32_t, uint32_t compareBits) override {
        ResultRecord* rec = newResultRecord(ctx_);
        if (!rec) return 1;
        rec->tapId = tapId_;
        rec->bitCount = compareBits;
        rec->lastBitPosition = (compareBits - 1) % 8;
        if (count_) {
            rec->tdoBytes = enc_->receive(set) + offset;
            rec->expected = enc_->expected(set) + offset;
            rec->mask = enc_->mask(set) + offset;
            rec->flags |= RR_RAW | RR_COUNT_MISMATCH | RR_COMPARE | RR_MASK;
        } else {
            rec->flags |= RR_RAW;
        }
        last_[set] = rec;
        anyRecord_ = true;
        return 0;
    }

    uint32_t sendBatch(const uint8_t* bytes, uint32_t length, uint32_t readBack, uint32_t set) override {
        if (readBack && last_[set]) {
            done_[set] = 1;
            last_[set]->doneFlag = &done_[set];
        }
        last_[set] = nullptr;
        if (queueCommands(ctx_, bytes, length, readBack)) return 1;
        // The other set is reused only after its results were delivered.
        const uint32_t other = set ^ 1;
        // The receive thread clears the word atomically when it delivers; read it the same way.
        const bool pending =
            std::atomic_ref<uint32_t>(const_cast<uint32_t&>(done_[other])).load(std::memory_order_acquire) != 0;
        if (pending && transportOf(ctx_).bufferingType != 0 && waitForResults(ctx_, WAIT_SEND)) return 1;
        return waitCompletionWord(ctx_, &done_[other]);
    }

    bool anyRecord() const { return anyRecord_; }

private:
    KpxContext* ctx_;
    uint32_t tapId_;
    bool count_;
    DirectScanEncoder* enc_ = nullptr;
    ResultRecord* last_[2] = {nullptr, nullptr};
    volatile uint32_t done_[2] = {0, 0};
    bool anyRecord_ = false;
};

}  // namespace

uint32_t impl::x_kpxScanDirect(uint32_t handle, uint32_t tapId, const uint8_t* steps,
                                                  uint32_t stepCount, uint32_t* mismatchCount) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    KpxContext* c = ctx.get();
    if (tapIdInvalid(c, tapId)) return fail(c, err::ILLEGAL_TAP_ID);
    if (stepCount > 0 && !steps) return fail(c, err::NULL_POINTER);
    if (transportOf(c).trstReleased[tapId] == 0) return fail(c, err::TRST_ACTIVE);
    if (ensureControllerReady(c)) return 1;
    if (stepCount == 0) return 0;

    if (transportOf(c).trstBus == 0) {
        // Refused before anything is clocked, so no record waits for bytes that never come.
        for (uint32_t k = 0; k < stepCount; ++k)
            if (steps[k] & STEP_TRST) {
                recordError(c, err::TRST_NOT_AVAILABLE);
                return 2;
            }
    }
    const uint32_t mask = tapMaskOfId(tapId);
    if (selectTaps(c, mask)) return 1;
    transportOf(c).mismatchBitCount = 0;
    const DirectScanPins pins{transportOf(c).trstBus, transportOf(c).trstMask, transportOf(c).dataBusValue, transportOf(c).ctrlBusValue, transportOf(c).effectiveLowDirection,
                              transportOf(c).effectiveHighDirection};
    // Records point into the job (buffer sets and completion words). After a failure they may
    // never be delivered: unbuffered they are the only ones pending and are dropped, so the job
    // can go; buffered a later flush may still deliver them, and the job is left allocated.
    struct Job {
        DirectScanRun run;
        DirectScanEncoder enc;
        volatile uint32_t closing = 0;
        Job(KpxContext* cx, uint32_t tap, bool count, const DirectScanPins& p, uint32_t state, bool tms)
            : run(cx, tap, count), enc(p, state, tms, run) { run.attach(&enc); }
    };
    auto job = std::make_unique<Job>(c, tapId, mismatchCount != nullptr, pins, tapsOf(c).tapState[tapId],
                                     transportOf(c).tmsHigh[tapId] == 1);
    auto abandon = [&]() -> uint32_t {
        if (transportOf(c).bufferingType == 0) abandonResults(c);
        else if (job->run.anyRecord() || job->closing) (void)job.release();
        return 1;
    };

    try {
        if (job->enc.encode(steps, stepCount)) return abandon();
        DirectScanEncoder& enc = job->enc;
        std::vector<uint8_t> tail(enc.bytes(), enc.bytes() + enc.length());
        const bool buffered = transportOf(c).bufferingType != 0;
        if (!buffered) {
            job->closing = 1;
            if (registerMarker(c, 8, &job->closing)) return abandon();
            tail.push_back(OP_READ_HIGH);
            tail.push_back(OP_SEND_IMMEDIATE);
        }
        if (queueCommands(c, tail.data(), static_cast<uint32_t>(tail.size()), enc.readBack())) return abandon();
        recordTapState(c, mask, enc.trackedState());
        recordTmsHigh(c, mask, (enc.lastStep() & STEP_TMS) ? 1 : 0);
        if (!buffered) {
            if (waitCompletionWord(c, &job->closing)) return abandon();
        } else if (job->run.anyRecord()) {
            // The records point into this call's buffer sets: they must be delivered before it returns.
            if (waitForResults(c, WAIT_ALL)) return abandon();
        }
        if (mismatchCount) *mismatchCount = transportOf(c).mismatchBitCount;
        return 0;
    } catch (...) {
        abandon();   // an allocation failure: the job must not be freed under its records either
        throw;
    }
}
