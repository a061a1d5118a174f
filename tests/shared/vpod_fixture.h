// One controller on a virtual pod board, with the bytes of its interface recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/errors.h"
#include "config/config.h"
#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/ftdi_driver.h"
#include "jtag/jtag.h"
#include "transport/transport.h"
#include "vpod/control.h"
#include "vpod/usb.h"
#include "test_env.h"

using Bytes = std::vector<uint8_t>;
namespace err = dorvane::err;

namespace boards {

inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The default board: an FT2232H whose channel A carries a debug-port TAP (IR 4, TDO end)
// and a boundary-scan TAP (IR 5, 177 boundary cells).
inline std::string standard() { return vpod::control::defaultBoardText(); }
// The same chain on a 6000 kHz FT2232C.
inline std::string slowChip() {
    return replaced(replaced(standard(), "Type=FT2232H", "Type=FT2232C"), "ChannelB=cortex", "ChannelB=none");
}
// One TAP with user registers of awkward lengths.
inline std::string userRegisters() {
    return "[Device1]\nType=FT2232H\nSerial=DV000007\nDescription=Dual RS232\nChannelA=chain\nChannelB=none\n"
           "TrstA=DataBus4\n"
           "[Target chain]\nKind=jtag\nTaps=u\n"
           "[Target u]\nKind=tap\nIrLength=8\nIdcode=0x2B9C4093\nIdcodeInstruction=0x01\n"
           "SampleInstruction=0x02\nExtestInstruction=0x00\nBoundaryLength=40\n"
           "Register.R1=0x10,1\nRegister.R7=0x11,7\nRegister.R8=0x12,8,A4\nRegister.R9=0x13,9\n"
           "Register.R16=0x16,16\nRegister.R16385=0x14,16385\nRegister.R100000=0x15,100000\n";
}

}  // namespace boards

inline bool throughUsb() {
    std::string driver;
    return dorvane::platform::getEnv("DORVANE_DRIVER", driver) && driver == "libftdi";
}

// The provider under test: the in-process pod, or with DORVANE_DRIVER=libftdi the real libftdi1
// onto the USB-level pod (found as libusb-1.0.so.0), which is then handed this process's board so
// that the checks below see the same chips.
inline bool useProviderUnderTest() {
    if (!throughUsb()) {
        dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
        dorvane::transport::setFtdiDriver(nullptr);
        return true;
    }
    static const bool attached = [] {
        auto attach = reinterpret_cast<vpod::usb::AttachFn>(dorvane::platform::librarySymbol(
            dorvane::platform::loadLibrary("libusb-1.0.so.0"), vpod::usb::kAttachSymbol));
        if (attach) attach(&vpod::usb::thisProcessModel());
        return attach != nullptr;
    }();
    dorvane::transport::setFtdiDriver(nullptr);
    EXPECT_TRUE(attached) << "DORVANE_DRIVER=libftdi needs the USB-level virtual pod as libusb-1.0.so.0 "
                             "(LD_LIBRARY_PATH=<build>/vpod/usb/libusb)";
    return attached;
}

// The context behind a handle, its lock held for the scope.
inline dorvane::ContextGuard locked(uint32_t h) {
    return dorvane::ContextGuard(dorvane::lookupContext(h, dorvane::LOOKUP_REPORT));
}

class VpodTest : public ::testing::Test {
protected:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    // Loads the board, optionally writes a KCF file, opens the controller.
    void open(const std::string& board, const std::string& iface = "DV000001A", const std::string& kcf = "") {
        ASSERT_TRUE(useProviderUnderTest());
        std::string error;
        ASSERT_TRUE(vpod::control::loadConfigText(board, &error)) << error;
        iface_ = iface;
        ASSERT_TRUE(vpod::control::recordTraffic(iface_, true));
        std::string address = "USB";
        if (!kcf.empty()) {
            const std::string dir = ::testing::TempDir();
            testenv::writeRaw(dir + "/jtagtest.Kcf", "[FT2232Kpx]\nVersion=1.0.0.0\n" + kcf);
            dorvane::setKcfDirectory(dir + "/");
            address = "USBFjtagtest";
        }
        ASSERT_EQ(x_openKpx(&h, address.c_str()), 0u) << kpx_error_msg();
    }
    void TearDown() override {
        if (h != kNone) x_closeKpx(h);
        h = kNone;
    }
    // Resets the TAP (which also runs the deferred clock and pin set-up) and clears the trace.
    void resetAndClear() {
        ASSERT_EQ(x_tmsReset(h, 1), 0u) << x_kpxErrorMsg(h);
        clear();
    }
    // Opens the board, resets, moves to the given state and clears the trace.
    void ready(int st, const std::string& board = boards::standard()) {
        open(board);
        resetAndClear();
        ASSERT_EQ(x_moveToState(h, 1, st), 0u) << x_kpxErrorMsg(h);
        clear();
    }
    void clear() { vpod::control::clearTraffic(iface_); }
    Bytes written() {
        Bytes b;
        vpod::control::trafficWritten(iface_, &b);
        return b;
    }
    uint32_t state() {
        uint32_t s = 99;
        EXPECT_EQ(x_scanGetState(h, 1, &s), 0u);
        return s;
    }
    uint32_t tmsHigh() { auto c = locked(h); return dorvane::transportOf(c).tmsHigh[1]; }
    uint32_t lastCode() { auto c = locked(h); return c->lastError; }
    vpod::control::TapInfo tap(unsigned i) {
        vpod::control::TapInfo info;
        EXPECT_TRUE(vpod::control::tapInfo(iface_, i, &info));
        return info;
    }
    vpod::control::RegisterLog reg(unsigned t, const std::string& name) {
        vpod::control::RegisterLog log;
        EXPECT_TRUE(vpod::control::tapRegister(iface_, t, name, &log));
        return log;
    }
    vpod::control::ChipState chip() {
        vpod::control::ChipState s;
        EXPECT_TRUE(vpod::control::chipState(iface_, &s));
        return s;
    }

    uint32_t h = kNone;
    std::string iface_;
};

// Bit helpers for word vectors.
inline std::vector<uint16_t> wordsOfBytes(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> w((bytes.size() + 1) / 2, 0);
    for (size_t i = 0; i < bytes.size(); ++i) w[i / 2] |= static_cast<uint16_t>(bytes[i] << (8 * (i % 2)));
    return w;
}
inline std::vector<uint8_t> bytesOfWords(const std::vector<uint16_t>& words, size_t nbits) {
    std::vector<uint8_t> b((nbits + 7) / 8, 0);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(words[i / 2] >> (8 * (i % 2)));
    if (nbits % 8) b.back() &= static_cast<uint8_t>((1u << (nbits % 8)) - 1);
    return b;
}
