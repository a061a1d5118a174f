// Suspend, resume and modes: the suspend store that carries a controller's clock setting from
// one process to the next, the suspend and resume sequences, and the mode switch.
#pragma once

#include <cstdint>

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
