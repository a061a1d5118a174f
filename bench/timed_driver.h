// The virtual pod behind the driver seam, with the benchmark's timers optionally paused inside
// writes: the virtual pod emulates every TCK inside the write call, which a real pod does in
// hardware, so pausing there leaves the library's (and its caller's) own host time.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

#include "platform/platform.h"
#include "transport/ftdi_driver.h"

class PausingDriver final : public dorvane::transport::FtdiDriver {
public:
    using Status = dorvane::transport::FtStatus;
    using Handle = dorvane::transport::FtHandle;
    explicit PausingDriver(FtdiDriver& inner) : inner_(inner) {}
    benchmark::State* pauseIn = nullptr;
    double secondsInWrites = 0;   // wall time spent emulating, summed over writes

    // The virtual pod's provider wrapped once per process.
    static PausingDriver& instance() {
        static PausingDriver* d = [] {
            dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
            dorvane::transport::setFtdiDriver(nullptr);
            return new PausingDriver(dorvane::transport::ftdiDriver());
        }();
        return *d;
    }

    Status listDevices(void* a, void* b, uint32_t f) override { return inner_.listDevices(a, b, f); }
    Status openEx(const char* s, uint32_t f, Handle* h) override { return inner_.openEx(s, f, h); }
    Status open(uint32_t i, Handle* h) override { return inner_.open(i, h); }
    Status getDeviceInfo(Handle h, uint32_t* t, uint32_t* id, char* s, char* d) override {
        return inner_.getDeviceInfo(h, t, id, s, d);
    }
    Status close(Handle h) override { return inner_.close(h); }
    Status resetDevice(Handle h) override { return inner_.resetDevice(h); }
    Status purge(Handle h, uint32_t m) override { return inner_.purge(h, m); }
    Status setBitMode(Handle h, uint8_t m, uint8_t mode) override { return inner_.setBitMode(h, m, mode); }
    Status setTimeouts(Handle h, uint32_t r, uint32_t w) override { return inner_.setTimeouts(h, r, w); }
    Status setLatencyTimer(Handle h, uint8_t ms) override { return inner_.setLatencyTimer(h, ms); }
    Status setEventNotification(Handle h, uint32_t m, dorvane::platform::Event* e) override {
        return inner_.setEventNotification(h, m, e);
    }
    Status getQueueStatus(Handle h, uint32_t* c) override { return inner_.getQueueStatus(h, c); }
    Status read(Handle h, void* b, uint32_t c, uint32_t* g) override { return inner_.read(h, b, c, g); }
    Status write(Handle h, const void* b, uint32_t c, uint32_t* w) override {
        const auto t0 = std::chrono::steady_clock::now();
        if (pauseIn) pauseIn->PauseTiming();
        Status st = inner_.write(h, b, c, w);
        if (pauseIn) pauseIn->ResumeTiming();
        secondsInWrites += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        return st;
    }
    Status cyclePort(Handle h) override { return inner_.cyclePort(h); }

private:
    FtdiDriver& inner_;
};
