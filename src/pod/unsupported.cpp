// Pod-signal, voltage and TAP distribution calls: these controllers have no such hardware,
// so each answers "not supported" (status 2) once the handle is known to be good.
#include "core/context.h"
#include "core/errors.h"

using namespace dorvane;

namespace {

uint32_t notSupported(uint32_t handle, uint32_t code) {
    ContextGuard ctx(lookupContext(handle, LOOKUP_REPORT | LOOKUP_RUNNING));
    if (!ctx) return 1;
    recordError(ctx.get(), code);
    return 2;
}

}  // namespace

// The four voltage exports are one entry point in the DLL; the pod-signal pair likewise.
DORVANE_API uint32_t DORVANE_CALL x_setVoltage(uint32_t handle, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
DORVANE_API uint32_t DORVANE_CALL x_setTapVoltage(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
DORVANE_API uint32_t DORVANE_CALL x_setTapMillivoltage(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
DORVANE_API uint32_t DORVANE_CALL x_setMultiTapMillivoltage(uint32_t handle, uint32_t, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
DORVANE_API uint32_t DORVANE_CALL x_setPodSignal(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_POD_PINS);
}
DORVANE_API uint32_t DORVANE_CALL x_getPodSignal(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_POD_PINS);
}
DORVANE_API uint32_t DORVANE_CALL x_tapDistribute(uint32_t handle, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_DISTRIBUTE);
}
