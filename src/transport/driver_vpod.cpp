// The virtual pod behind the driver seam: the board of this process, or of the vpod server
// DORVANE_VPOD_SERVER names (the virtual pod forwards to it by itself).
#include "transport/driver_providers.h"

#include "platform/platform.h"
#include "vpod/vpod.h"

namespace dorvane::transport {
namespace {

vpod::Handle* H(FtHandle h) { return static_cast<vpod::Handle*>(h); }

void setEvent(void* event) { static_cast<platform::Event*>(event)->set(); }

class VpodDriver final : public FtdiDriver {
public:
    ~VpodDriver() override { vpod::release(); }   // the library unloads (releaseDrivers)
    FtStatus listDevices(void* arg1, void* arg2, uint32_t flags) override {
        return vpod::listDevices(arg1, arg2, flags);
    }
    FtStatus openEx(const char* serialNumber, uint32_t flags, FtHandle* handle) override {
        vpod::Handle* h = nullptr;
        FtStatus st = vpod::openEx(serialNumber, flags, &h);
        if (handle) *handle = st == FT_OK ? h : nullptr;
        return st;
    }
    FtStatus open(uint32_t index, FtHandle* handle) override {
        vpod::Handle* h = nullptr;
        FtStatus st = vpod::open(index, &h);
        if (handle) *handle = st == FT_OK ? h : nullptr;
        return st;
    }
    FtStatus getDeviceInfo(FtHandle handle, uint32_t* type, uint32_t* id, char* serial, char* description) override {
        return vpod::getDeviceInfo(H(handle), type, id, serial, description);
    }
    FtStatus close(FtHandle handle) override { return vpod::close(H(handle)); }
    FtStatus resetDevice(FtHandle handle) override { return vpod::resetDevice(H(handle)); }
    FtStatus purge(FtHandle handle, uint32_t mask) override { return vpod::purge(H(handle), mask); }
    FtStatus setBitMode(FtHandle handle, uint8_t mask, uint8_t mode) override {
        return vpod::setBitMode(H(handle), mask, mode);
    }
    FtStatus setTimeouts(FtHandle handle, uint32_t readMs, uint32_t writeMs) override {
        return vpod::setTimeouts(H(handle), readMs, writeMs);
    }
    FtStatus setLatencyTimer(FtHandle handle, uint8_t ms) override { return vpod::setLatencyTimer(H(handle), ms); }
    FtStatus setEventNotification(FtHandle handle, uint32_t mask, platform::Event* event) override {
        return vpod::setEventNotification(H(handle), mask, event ? setEvent : nullptr, event);
    }
    FtStatus getQueueStatus(FtHandle handle, uint32_t* count) override {
        return vpod::getQueueStatus(H(handle), count);
    }
    FtStatus read(FtHandle handle, void* buffer, uint32_t count, uint32_t* got) override {
        return vpod::read(H(handle), buffer, count, got);
    }
    FtStatus write(FtHandle handle, const void* buffer, uint32_t count, uint32_t* written) override {
        return vpod::write(H(handle), buffer, count, written);
    }
    FtStatus cyclePort(FtHandle handle) override { return vpod::cyclePort(H(handle)); }
};

}  // namespace

FtdiDriver& vpodDriver() {
    // Not a static object: the library's unload closes open controllers through it after
    // the static destructors have run, and then frees it.
    static FtdiDriver* driver = keepUntilUnload(new VpodDriver);
    return *driver;
}

}  // namespace dorvane::transport
