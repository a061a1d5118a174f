// Plays an SVF program through the library's exports on one open controller.
//
// Scans go out with deferred results (buffering type 9): nothing waits for the wire while
// the vectors are queued, so a long file is paced by the pod, not by the host. Captured TDO
// is checked in windows: when enough compared bits are pending, one result wait delivers
// them all and they are compared with the expected values under their masks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "svf_parser.h"

namespace dorvane::tools::svf {

struct PlayOptions {
    bool keepGoing = false;             // count mismatches instead of stopping at the first
    uint32_t khzCap = 0;                // FREQUENCY never sets more than this (0: no cap)
    uint64_t checkWindowBits = 1u << 20;
    // Called after each statement is queued: scan bits queued so far, all scan bits, file line.
    std::function<void(uint64_t done, uint64_t total, uint32_t line)> progress;
    // Mismatch reports, warnings and failures, one message per call (no trailing newline).
    std::function<void(const std::string&)> report;
};

struct PlayResult {
    int status = 0;                 // a tools::Exit value
    uint64_t compares = 0;          // scans whose TDO was checked
    uint64_t mismatches = 0;
    uint32_t firstMismatchLine = 0;
    uint64_t bitsScanned = 0;
};

PlayResult play(uint32_t handle, const Program& program, const PlayOptions& options);

}  // namespace dorvane::tools::svf
