// Suspend, resume and modes: the suspend store that carries a controller's clock setting from
// one process to the next, the suspend and resume sequences, and the mode switch.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace dorvane {

// The persist layer's part of the controller context: the suspend store's "Clock" record, the
// records modes 8 and 9 hand out, and the one-TCK wait mode.
struct PersistPart : ContextPart {
    static constexpr PartId kId = PartId::Persist;
    uint32_t clockRecord[3] = {};
    uint32_t modeRecord8[2] = {};
    uint32_t modeRecord9[6] = {};
    uint8_t waitBySleep = 0;        // wait_time sleeps instead of clocking (mode 11)
};

inline PersistPart& persistOf(KpxContext* ctx) { return ctx->part<PersistPart>(); }
inline const PersistPart& persistOf(const KpxContext* ctx) { return ctx->part<PersistPart>(); }
// Also through a guard (ContextGuard) or any holder with operator->.
template <class Holder>
PersistPart& persistOf(const Holder& held) { return held->template part<PersistPart>(); }

}  // namespace dorvane

namespace dorvane::persist {

// The record kept under "Clock": three little-endian words, word 2 the TCK frequency in kHz,
// words 0 and 1 carried unchanged from the last resume.
constexpr uint32_t kClockRecordSize = 12;

// The store file's path: "%s\Quillon\devices\dorvane.ini" under the machine-wide data directory
// ("ALLUSERSPROFILE"), the two directories made when missing. Computed once per process under
// a lock of its own; null (and nothing cached) when it cannot be had.
const char* storePath();

// Writers of the store hold the device mutex around each read-modify-write, so that processes
// suspending different controllers at once keep each other's sections.
// "Magic"/"Version", the controller's "Clock", then the "Voltage"/"Threshold" deletions; false
// at the first step that fails.
bool storeSuspendInfo(const char* path, const char* section, const uint32_t clockRecord[3]);
// The marker must read exactly "V1.0.0.0" and "Clock" must be a sound 12-byte record; false
// (clockRecord untouched) otherwise.
bool loadResumeInfo(const char* path, const char* section, uint32_t clockRecord[3]);
// Close-time clean-up: removes the controller's section when the store carries the marker.
// Nothing is reported.
void forgetController(const char* section) noexcept;

}  // namespace dorvane::persist
