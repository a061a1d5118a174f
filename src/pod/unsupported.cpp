// Pod-signal, voltage and TAP distribution calls: these controllers have no such hardware,
// so each answers "not supported" (status 2) once the handle is known to be good.
#include "core/context.h"
#include "core/errors.h"
#include "core/export_impl.h"
#include "transport/transport.h"

using namespace dorvane;

namespace {

uint32_t notSupported(uint32_t handle, uint32_t code) {
    ContextGuard ctx(lookupRunningContext(handle, LOOKUP_REPORT));
    if (!ctx) return 1;
    recordError(ctx.get(), code);
    return 2;
}

}  // namespace

// The four voltage exports are one entry point in the DLL; the pod-signal pair likewise.
uint32_t impl::x_setVoltage(uint32_t handle, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
uint32_t impl::x_setTapVoltage(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
uint32_t impl::x_setTapMillivoltage(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
uint32_t impl::x_setMultiTapMillivoltage(uint32_t handle, uint32_t, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_VOLTAGE);
}
uint32_t impl::x_setPodSignal(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_POD_PINS);
}
uint32_t impl::x_getPodSignal(uint32_t handle, uint32_t, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_POD_PINS);
}
uint32_t impl::x_tapDistribute(uint32_t handle, uint32_t, uint32_t) {
    return notSupported(handle, err::NO_DISTRIBUTE);
}
