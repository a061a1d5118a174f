// Shared set-up of the transport tests: the virtual pod behind the seam, seen through a spy that
// records the size of every write and can hold the receive thread inside the driver.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "core/context.h"
#include "core/errors.h"
#include "dorvane/dorvane.h"
#include "transport/driver_providers.h"
#include "transport/transport.h"
#include "vpod/control.h"

using Bytes = std::vector<uint8_t>;
namespace vc = vpod::control;

class Spy final : public dorvane::transport::FtdiDriver {
public:
    using FtHandle = dorvane::transport::FtHandle;
    using FtStatus = dorvane::transport::FtStatus;
    std::mutex m;
    std::condition_variable changed;
    std::vector<uint32_t> writeSizes;
    uint32_t chipType = 0;              // reported instead of the real type when set
    bool holdQueueStatus = false;       // GetQueueStatus blocks until this is cleared
    unsigned heldCalls = 0, purgesWhileHeld = 0;

    template <class F> void with(F f) { { std::lock_guard g(m); f(); } changed.notify_all(); }
    template <class P> void waitFor(P p) { std::unique_lock g(m); changed.wait(g, p); }

    FtStatus listDevices(void* a, void* b, uint32_t f) override { return d.listDevices(a, b, f); }
    FtStatus openEx(const char* s, uint32_t f, FtHandle* h) override { return d.openEx(s, f, h); }
    FtStatus open(uint32_t i, FtHandle* h) override { return d.open(i, h); }
    FtStatus getDeviceInfo(FtHandle h, uint32_t* type, uint32_t* id, char* s, char* desc) override {
        const FtStatus st = d.getDeviceInfo(h, type, id, s, desc);
        if (type && chipType) *type = chipType;
        return st;
    }
    FtStatus close(FtHandle h) override { return d.close(h); }
    FtStatus resetDevice(FtHandle h) override { return d.resetDevice(h); }
    FtStatus purge(FtHandle h, uint32_t mask) override {
        with([&] { purgesWhileHeld += holdQueueStatus; });
        return d.purge(h, mask);
    }
    FtStatus setBitMode(FtHandle h, uint8_t mask, uint8_t mode) override { return d.setBitMode(h, mask, mode); }
    FtStatus setTimeouts(FtHandle h, uint32_t r, uint32_t w) override { return d.setTimeouts(h, r, w); }
    FtStatus setLatencyTimer(FtHandle h, uint8_t ms) override { return d.setLatencyTimer(h, ms); }
    FtStatus setEventNotification(FtHandle h, uint32_t mask, dorvane::platform::Event* e) override {
        return d.setEventNotification(h, mask, e);
    }
    FtStatus getQueueStatus(FtHandle h, uint32_t* count) override {
        {
            std::unique_lock g(m);
            if (holdQueueStatus) {
                ++heldCalls;
                changed.notify_all();
                changed.wait(g, [this] { return !holdQueueStatus; });
            }
        }
        return d.getQueueStatus(h, count);
    }
    FtStatus read(FtHandle h, void* b, uint32_t n, uint32_t* got) override { return d.read(h, b, n, got); }
    FtStatus write(FtHandle h, const void* b, uint32_t n, uint32_t* written) override {
        with([&] { writeSizes.push_back(n); });
        return d.write(h, b, n, written);
    }
    FtStatus cyclePort(FtHandle h) override { return d.cyclePort(h); }

private:
    dorvane::transport::FtdiDriver& d = dorvane::transport::vpodDriver();
};

// Opens controllers on the default board through the spy, and closes them again.
class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        dorvane::transport::setFtdiDriver(&spy);
        vc::loadDefaultBoard();
    }
    void TearDown() override {
        for (uint32_t h : opened) x_closeKpx(h);
        dorvane::transport::setFtdiDriver(nullptr);
        vc::loadDefaultBoard();
    }
    // Opens and remembers the handle for clean-up; 0xFFFFFFFF when the open failed.
    uint32_t open(const char* address = "USB") {
        uint32_t h = 0;
        if (x_openKpx(&h, address) != 0) return 0xFFFFFFFFu;
        opened.push_back(h);
        return h;
    }
    uint32_t close(uint32_t h) {
        std::erase(opened, h);
        return x_closeKpx(h);
    }
    void board(const std::string& text) {
        std::string error;
        ASSERT_TRUE(vc::loadConfigText(text, &error)) << error;
    }
    static Bytes written(const std::string& iface) {
        Bytes b;
        vc::trafficWritten(iface, &b);
        return b;
    }
    std::vector<uint32_t> opened;
    Spy spy;
};

// The context of an open handle, its contextLock held for the test's scope.
inline dorvane::ContextGuard locked(uint32_t h) {
    return dorvane::ContextGuard(dorvane::lookupRunningContext(h, dorvane::LOOKUP_REPORT));
}
