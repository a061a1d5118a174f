// The boundary of the C interface: no C++ exception leaves an export.
#pragma once

#include <cstdint>
#include <new>

#include "core/context.h"
#include "core/errors.h"

namespace dorvane {

constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

// Records code on the controller that handle names (when it can be reached) and in the
// process-wide slot.
void recordExportFailure(uint32_t handle, uint32_t code);

template <class R> R failureResult(uint32_t code);
template <> inline uint32_t failureResult<uint32_t>(uint32_t) { return 1; }
template <> inline int32_t failureResult<int32_t>(uint32_t code) { return findError(code).publicNumber; }
template <> inline const char* failureResult<const char*>(uint32_t code) { return findError(code).message; }

// Runs an export's body. An exception ends the call with the export's failure value: an
// allocation failure as 28006, anything else as an internal error. The guards of the body
// (context lock, plain-layer lock) have been left by the time the failure is recorded.
template <class R, class Body> R guardExport(uint32_t handle, Body&& body) noexcept {
    uint32_t code;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        code = err::MEMORY_ALLOCATION;
    } catch (...) {
        code = err::INTERNAL;
    }
    recordExportFailure(handle, code);
    return failureResult<R>(code);
}

}  // namespace dorvane
