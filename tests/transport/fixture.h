// Shared set-up of the transport tests: the scripted driver installed behind the seam.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "api/context.h"
#include "api/errors.h"
#include "dorvane/dorvane.h"
#include "fake_driver.h"
#include "transport/transport.h"

class FakeTransport : public ::testing::Test {
protected:
    void SetUp() override { dorvane::transport::setFtdiDriver(&drv); }
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
    fake::Driver drv;
    std::vector<uint32_t> opened;
};

// The context of an open handle, its contextLock held for the test's scope.
class Locked {
public:
    explicit Locked(uint32_t h) : ctx_(dorvane::lookupContext(h, dorvane::LOOKUP_REPORT | dorvane::LOOKUP_RUNNING)) {}
    ~Locked() { if (ctx_) ctx_->contextLock.unlock(); }
    dorvane::KpxContext* operator->() const { return ctx_; }
    dorvane::KpxContext* get() const { return ctx_; }
    explicit operator bool() const { return ctx_ != nullptr; }
private:
    dorvane::KpxContext* ctx_;
};

using Bytes = std::vector<uint8_t>;
