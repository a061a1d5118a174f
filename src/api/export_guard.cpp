// The exported x_ entry points: each runs its implementation inside guardExport.
#include "api/export_guard.h"

#include "core/export_impl.h"
#include "transport/transport.h"

namespace dorvane {

void recordExportFailure(uint32_t handle, uint32_t code) {
    if (handle != kNoHandle) {
        if (KpxContext* ctx = lookupContext(handle, 0)) {
            ContextGuard held(ctx);
            abandonResults(ctx);
            recordError(ctx, code);
            return;
        }
    }
    recordError(nullptr, code);
}

}  // namespace dorvane

using namespace dorvane;

#include "api/export_guard.inc"
