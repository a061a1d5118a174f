// Exports of this layer that are not built yet: each looks the handle up, then refuses
// with "unsupported function". Remove a function here when its real one lands.
#include "api/context.h"
#include "api/errors.h"

using namespace dorvane;

DORVANE_API uint32_t DORVANE_CALL x_scanSetBuffering(uint32_t handle, uint32_t type) {
    (void)type;
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    return fail(ctx.get(), err::UNSUPPORTED_FUNCTION);
}
