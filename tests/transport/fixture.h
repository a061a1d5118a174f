// Shared set-up of the transport tests: the scripted driver installed behind the seam.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "core/context.h"
#include "core/errors.h"
#include "dorvane/dorvane.h"
#include "fake_driver.h"
#include "transport/transport.h"

// Opens controllers through whatever driver a test installed, and closes them again.
class TransportTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (uint32_t h : opened) x_closeKpx(h);
        dorvane::transport::setFtdiDriver(nullptr);
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
    std::vector<uint32_t> opened;
};

class FakeTransport : public TransportTest {
protected:
    void SetUp() override { dorvane::transport::setFtdiDriver(&drv); }
    fake::Driver drv;
};

// The context of an open handle, its contextLock held for the test's scope.
inline dorvane::ContextGuard locked(uint32_t h) {
    return dorvane::ContextGuard(dorvane::lookupRunningContext(h, dorvane::LOOKUP_REPORT));
}

using Bytes = std::vector<uint8_t>;

// What an open writes: pins, a read of them, loopback on, two echoed bad commands, loopback off.
inline const Bytes kOpenBytes = {0x80, 0x00, 0x00, 0x81, 0x87, 0x84, 0xAA, 0x87, 0xAB, 0x87, 0x85};
