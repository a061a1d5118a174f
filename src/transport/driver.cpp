// Provider selection for the driver seam: DORVANE_DRIVER = vpod | d2xx.
#include <atomic>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "transport/driver_providers.h"

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

std::atomic<FtdiDriver*> overrideDriver{nullptr};
std::atomic<FtdiDriver*> g_kept[4] = {};   // null, d2xx, vpod: each made at most once

FtdiDriver& chosenDriver() {
    static FtdiDriver* chosen = [] {
        std::string name;
        if (!platform::getEnv("DORVANE_DRIVER", name) || name.empty()) name = defaultDriverName();
        return &driverNamed(name);
    }();
    return *chosen;
}

}  // namespace

FtdiDriver& nullDriver() {
    // Not a static object: the library's unload closes open controllers through it after
    // the static destructors have run, and then frees it.
    static FtdiDriver* driver = keepUntilUnload(new NullDriver);
    return *driver;
}

FtdiDriver* keepUntilUnload(FtdiDriver* driver) {
    for (auto& slot : g_kept) {
        FtdiDriver* expected = nullptr;
        if (slot.compare_exchange_strong(expected, driver)) break;
    }
    return driver;
}

void releaseDrivers() {
    for (auto& slot : g_kept) delete slot.exchange(nullptr);
}

FtdiDriver& driverNamed(const std::string& name) {
    std::string n = name;
    for (char& c : n) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (n == "vpod" || n == "vpod-server") return vpodDriver();   // the old name of a server's pod
    if (n == "d2xx") return d2xxDriver();
#if DORVANE_HAVE_LIBFTDI
    if (n == "libftdi") return libftdiDriver();
#endif
    return nullDriver();   // an unknown name (or a provider this build lacks) gets no devices
}

FtdiDriver& ftdiDriver() {
    FtdiDriver* o = overrideDriver.load(std::memory_order_acquire);
    return o ? *o : chosenDriver();
}

void setFtdiDriver(FtdiDriver* driver) { overrideDriver.store(driver, std::memory_order_release); }

}  // namespace dorvane::transport
