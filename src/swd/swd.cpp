// The SWD bridge is not built yet: every entry point refuses with "unsupported function".
#include "swd/swd.h"

#include "core/errors.h"

namespace dorvane {

uint32_t swdScan(KpxContext* ctx, uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, const uint8_t*,
                 const uint8_t*, uint16_t*, uint8_t*) {
    return fail(ctx, err::UNSUPPORTED_FUNCTION);
}
uint32_t swdUpdateIr(KpxContext* ctx, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t swdUpdateDr(KpxContext* ctx, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t swdLineReset(KpxContext* ctx, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }

}  // namespace dorvane
