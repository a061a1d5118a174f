// Pod control: the TRST pin and the direct scan's step encoder.
#pragma once

#include <cstdint>
#include <vector>

#include "core/context.h"

namespace dorvane {

// Step byte bits of the direct scan.
enum : uint8_t { STEP_TDI = 0x01, STEP_EXPECT = 0x02, STEP_COMPARE = 0x04, STEP_TMS = 0x08, STEP_TRST = 0x10 };

// The pin levels and directions a direct scan writes when TMS or TRST change.
struct DirectScanPins {
    uint8_t trstBus;
    uint8_t trstMask;
    uint8_t dataBusValue;
    uint8_t ctrlBusValue;
    uint8_t lowDirection;
    uint8_t highDirection;
};

// Turns step bytes into MPSSE commands. Pure: what to do with a finished run's compare bits
// and with a full batch is left to the two hooks, so the byte stream can be checked alone.
class DirectScanEncoder {
public:
    struct Hooks {
        // A run that compared bits is closed: its read-back (bytes, expected, mask) lies at
        // offset..offset+bytes of the current buffer set. Non-zero fails the scan.
        virtual uint32_t runClosed(uint32_t set, uint32_t offset, uint32_t bytes, uint32_t compareBits) = 0;
        // The batch is complete; send it. lastRecordInBatch tells whether it has read-back.
        virtual uint32_t sendBatch(const uint8_t* bytes, uint32_t length, uint32_t readBack, uint32_t set) = 0;
        virtual ~Hooks() = default;
    };
    static constexpr uint32_t kBatchLimit = 1024;
    // Each set holds the read-back of one batch: at most one byte per command byte.
    static constexpr uint32_t kSetBytes = kBatchLimit + 1100;

    // tmsHigh: the TMS pin's level in force (the last level any operation drove).
    DirectScanEncoder(const DirectScanPins& pins, uint32_t startState, bool tmsHigh, Hooks& hooks);
    // Feeds all steps; returns 0, 1 on a hook failure, or 2 for a TRST step without a pin.
    uint32_t encode(const uint8_t* steps, uint32_t count);
    // The command bytes left for the final batch.
    const uint8_t* bytes() const { return cmd_.data(); }
    uint32_t length() const { return static_cast<uint32_t>(cmd_.size()); }
    uint32_t readBack() const { return readBack_; }
    uint32_t currentSet() const { return set_; }
    uint32_t trackedState() const { return state_; }
    uint8_t lastStep() const { return prev_; }
    // Expected, mask and receive areas of the two sets.
    uint8_t* expected(uint32_t set) { return expected_[set].data(); }
    uint8_t* mask(uint32_t set) { return mask_[set].data(); }
    uint8_t* receive(uint32_t set) { return receive_[set].data(); }

private:
    uint32_t closeCommand(bool holdBit);
    void setPins(uint8_t step);

    DirectScanPins pins_;
    Hooks& hooks_;
    std::vector<uint8_t> cmd_;
    std::vector<uint8_t> expected_[2], mask_[2], receive_[2];
    uint32_t set_ = 0;
    uint32_t readBack_ = 0;     // bytes of read-back in the current batch
    uint32_t runStart_ = 0;     // offset of the current run's read-back in the set
    uint32_t runBytes_ = 0;
    uint32_t compareBits_ = 0;
    bool open_ = false;
    bool reading_ = false;
    size_t opcodeAt_ = 0;
    uint32_t fullBytes_ = 0;
    uint8_t partial_ = 0;
    uint8_t partialExpected_ = 0;
    uint32_t bitPos_ = 0;
    uint8_t holdBit_ = 0;
    uint8_t prev_ = 0;
    uint32_t state_ = 0;
};

}  // namespace dorvane
