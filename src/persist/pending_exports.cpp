// Exports of this layer that are not built yet: each looks the handle up, then refuses
// with "unsupported function". Remove a function here when its real one lands.
#include "core/context.h"
#include "core/errors.h"
#include "core/export_impl.h"

using namespace dorvane;

uint32_t impl::x_resumeKpx(uint32_t* handle, const char* address) {
    (void)handle;
    (void)address;
    return fail(nullptr, err::UNSUPPORTED_FUNCTION);
}

uint32_t impl::x_suspendKpx(uint32_t handle) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}

uint32_t impl::x_setMode(uint32_t handle, uint32_t modeId, uint32_t* params) {
    (void)modeId;
    (void)params;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}
