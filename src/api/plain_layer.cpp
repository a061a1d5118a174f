// The plain layer: one controller per process on defaultHandle, every call under apiLock.
#include "core/context.h"
#include "core/errors.h"
#include "core/locks.h"

using namespace dorvane;

namespace {

// 0 at load, the controller's handle while the plain layer holds one, all ones after a
// successful close or suspend. Both guarded by apiLock.
uint32_t defaultHandle = 0;
uint32_t plainOpen = 0;

// Held around every plain-layer export.
class ApiLockGuard {
public:
    ApiLockGuard() : held_(apiLock()) {}
private:
    dorvane::platform::LockGuard held_;
};

constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

// An open or resume while the plain layer holds a controller: 33 goes to the process slot and
// to the open controller, whose context the plain error readers consult.
uint32_t refuseStillActive() {
    if (KpxContext* ctx = lookupContext(defaultHandle, 0)) {
        ContextGuard held(ctx);
        recordError(ctx, err::STILL_ACTIVE);
        return 1;
    }
    return fail(nullptr, err::STILL_ACTIVE);
}

}  // namespace

DORVANE_API uint32_t DORVANE_CALL open_kpx(const char* address) {
    ApiLockGuard guard;
    if (plainOpen) return refuseStillActive();
    uint32_t result = x_openKpx(&defaultHandle, address);
    if (result == 0) plainOpen = 1;
    return result;
}

DORVANE_API uint32_t DORVANE_CALL resume_kpx(const char* address) {
    ApiLockGuard guard;
    if (plainOpen) return refuseStillActive();
    uint32_t result = x_resumeKpx(&defaultHandle, address);
    if (result == 0) plainOpen = 1;
    return result;
}

// A close or suspend that fails has still released the controller, but the plain layer
// stays open: the host must treat a failed close as final.
DORVANE_API uint32_t DORVANE_CALL close_kpx(void) {
    ApiLockGuard guard;
    uint32_t result = x_closeKpx(defaultHandle);
    if (result == 0) {
        plainOpen = 0;
        defaultHandle = kNoHandle;
    }
    return result;
}

DORVANE_API uint32_t DORVANE_CALL suspend_kpx(void) {
    ApiLockGuard guard;
    uint32_t result = x_suspendKpx(defaultHandle);
    if (result == 0) {
        plainOpen = 0;
        defaultHandle = kNoHandle;
    }
    return result;
}

DORVANE_API uint32_t DORVANE_CALL kpx_handle(void) {
    ApiLockGuard guard;
    return defaultHandle;
}

#include "api/plain_layer.inc"
