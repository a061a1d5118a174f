// The USB-level virtual pod (libdorvane_vpod_usb.so, a stand-in for libusb-1.0) drives the
// model through this table. By default it uses the copy of the model linked into it, which
// loads its board as every virtual pod does (DORVANE_VPOD). A process that has a model of its
// own (a test program controlling faults and reading traffic) hands it over instead:
//
//   auto attach = reinterpret_cast<vpod::usb::AttachFn>(dlsym(lib, vpod::usb::kAttachSymbol));
//   attach(&vpod::usb::thisProcessModel());
#pragma once

#include <string>
#include <vector>

#include "vpod/control.h"
#include "vpod/vpod.h"

namespace vpod::usb {

struct Model {
    Status (*openEx)(const void* arg, uint32_t flags, Handle** handle);
    Status (*close)(Handle* handle);
    Status (*resetDevice)(Handle* handle);
    Status (*purge)(Handle* handle, uint32_t mask);
    Status (*setBitMode)(Handle* handle, uint8_t mask, uint8_t mode);
    Status (*setTimeouts)(Handle* handle, uint32_t readMs, uint32_t writeMs);
    Status (*setLatencyTimer)(Handle* handle, uint8_t ms);
    Status (*setEventNotification)(Handle* handle, uint32_t mask, Notify notify, void* arg);
    Status (*getQueueStatus)(Handle* handle, uint32_t* count);
    Status (*getReleasedCount)(Handle* handle, uint32_t* count);
    Status (*read)(Handle* handle, void* buffer, uint32_t count, uint32_t* got);
    Status (*write)(Handle* handle, const void* buffer, uint32_t count, uint32_t* written);
    Status (*cyclePort)(Handle* handle);
    std::vector<control::ChipInfo> (*chips)();
    bool (*chipState)(const std::string& iface, control::ChipState* state);
};

// The model linked into the calling module.
inline const Model& thisProcessModel() {
    static const Model m{&openEx, &close, &resetDevice, &purge, &setBitMode, &setTimeouts, &setLatencyTimer,
                         &setEventNotification, &getQueueStatus, &getReleasedCount, &read, &write, &cyclePort,
                         &control::chips, &control::chipState};
    return m;
}

// Exported by libdorvane_vpod_usb.so; null goes back to its own model. Call it while no
// device of the stand-in is open.
using AttachFn = void (*)(const Model* model);
inline constexpr const char* kAttachSymbol = "dorvane_vpod_usb_attach";

}  // namespace vpod::usb
