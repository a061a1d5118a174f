// Provider selection for the driver seam. Until a provider is built, every call answers as
// if no device were attached.
#include "transport/ftdi_driver.h"

namespace dorvane::transport {
namespace {

class NullDriver final : public FtdiDriver {
public:
    FtStatus listDevices(void* arg1, void*, uint32_t flags) override {
        if ((flags & FT_LIST_NUMBER_ONLY) && arg1) { *static_cast<uint32_t*>(arg1) = 0; return FT_OK; }
        return FT_DEVICE_NOT_FOUND;
    }
    FtStatus openEx(const char*, uint32_t, FtHandle*) override { return FT_DEVICE_NOT_FOUND; }
    FtStatus open(uint32_t, FtHandle*) override { return FT_DEVICE_NOT_FOUND; }
    FtStatus getDeviceInfo(FtHandle, uint32_t*, uint32_t*, char*, char*) override { return FT_INVALID_HANDLE; }
    FtStatus close(FtHandle) override { return FT_INVALID_HANDLE; }
    FtStatus resetDevice(FtHandle) override { return FT_INVALID_HANDLE; }
    FtStatus purge(FtHandle, uint32_t) override { return FT_INVALID_HANDLE; }
    FtStatus setBitMode(FtHandle, uint8_t, uint8_t) override { return FT_INVALID_HANDLE; }
    FtStatus setTimeouts(FtHandle, uint32_t, uint32_t) override { return FT_INVALID_HANDLE; }
    FtStatus setLatencyTimer(FtHandle, uint8_t) override { return FT_INVALID_HANDLE; }
    FtStatus setEventNotification(FtHandle, uint32_t, platform::Event*) override { return FT_INVALID_HANDLE; }
    FtStatus getQueueStatus(FtHandle, uint32_t*) override { return FT_INVALID_HANDLE; }
    FtStatus read(FtHandle, void*, uint32_t, uint32_t*) override { return FT_INVALID_HANDLE; }
    FtStatus write(FtHandle, const void*, uint32_t, uint32_t*) override { return FT_INVALID_HANDLE; }
    FtStatus cyclePort(FtHandle) override { return FT_INVALID_HANDLE; }
};

FtdiDriver* overrideDriver = nullptr;

}  // namespace

FtdiDriver& ftdiDriver() {
    static NullDriver nullDriver;
    return overrideDriver ? *overrideDriver : nullDriver;
}

void setFtdiDriver(FtdiDriver* driver) { overrideDriver = driver; }

}  // namespace dorvane::transport
