// Helpers for the virtual pod's tests: an open interface in MPSSE mode and raw byte exchange.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vpod/control.h"
#include "vpod/vpod.h"

namespace vpodtest {

using Bytes = std::vector<uint8_t>;

inline std::string readFile(const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void loadBoard(const std::string& text) {
    std::string error;
    ASSERT_TRUE(vpod::control::loadConfigText(text, &error)) << error;
}

class Dev {
public:
    explicit Dev(const std::string& serial, bool mpsse = true) {
        st = vpod::openEx(serial.c_str(), vpod::kOpenBySerialNumber, &h);
        if (st != vpod::kOk) return;
        vpod::setTimeouts(h, 500, 500);
        if (mpsse) {
            vpod::setBitMode(h, 0, 0);
            st = vpod::setBitMode(h, 0, 2);
        }
    }
    ~Dev() { if (h) vpod::close(h); }
    Dev(const Dev&) = delete;
    Dev& operator=(const Dev&) = delete;

    void send(const Bytes& b) {
        uint32_t written = 0;
        ASSERT_EQ(vpod::write(h, b.data(), static_cast<uint32_t>(b.size()), &written), vpod::kOk);
        ASSERT_EQ(written, b.size());
    }
    Bytes receive(size_t n) {
        Bytes out(n);
        uint32_t got = 0;
        EXPECT_EQ(vpod::read(h, out.data(), static_cast<uint32_t>(n), &got), vpod::kOk);
        EXPECT_EQ(got, n);
        out.resize(got);
        return out;
    }
    uint32_t queued() {
        uint32_t n = 0;
        EXPECT_EQ(vpod::getQueueStatus(h, &n), vpod::kOk);
        return n;
    }
    // Writes the commands, reads exactly `answer` bytes and checks nothing else arrived.
    Bytes xfer(const Bytes& cmd, size_t answer) {
        send(cmd);
        Bytes r = receive(answer);
        EXPECT_EQ(queued(), 0u);
        return r;
    }

    vpod::Handle* h = nullptr;
    vpod::Status st = vpod::kOk;
};

}  // namespace vpodtest
