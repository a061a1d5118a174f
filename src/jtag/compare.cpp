// The compare-error flag: compare scans set it on the receive side; the host reads and clears it.
#include "core/errors.h"
#include "core/export_impl.h"
#include "jtag/jtag.h"
#include "transport/transport.h"

using namespace dorvane;

uint32_t impl::x_getCmpErrors(uint32_t handle, uint32_t* errorFlag) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (!errorFlag) return fail(ctx.get(), err::NULL_POINTER);
    // Every compare already queued (also those held back by buffering) is checked first.
    if (waitForResults(ctx.get(), WAIT_ALL)) return 1;
    *errorFlag = transportOf(ctx).cmpErrorFlag[1] ? 1 : 0;
    return 0;
}

uint32_t impl::x_clearCmpErrors(uint32_t handle) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    if (waitForResults(ctx.get(), WAIT_ALL)) return 1;
    transportOf(ctx).cmpErrorFlag[1] = 0;
    return 0;
}
