// The USB-level virtual pod as libusb's callers see it (packets, latency timer, purges, an
// unplug, a stall), and the libftdi provider on top of it (listing, status codes, the event).
// Runs with the stand-in as libusb-1.0.so.0 (the ctest sets LD_LIBRARY_PATH).
#include <gtest/gtest.h>
#include <libusb.h>

#include <string>
#include <vector>

#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/driver_providers.h"
#include "vpod/control.h"
#include "vpod/usb.h"

using namespace dorvane;
using namespace dorvane::transport;
namespace vc = vpod::control;
using Bytes = std::vector<uint8_t>;

namespace {

const char* kBoard =
    "[Device1]\nType=FT2232H\nSerial=HS01\nChannelA=loopback\nChannelB=loopback\n"
    "[Device2]\nType=FT2232C\nSerial=DC01\nChannelA=loopback\n"
    "[Device3]\nType=FT4232H\nSerial=QH01\nChannelA=loopback\nBusy=B\n"
    "[Device4]\nType=FT232H\nSerial=SH01\n";

constexpr uint8_t kVendorOut = 0x40;   // vendor request, to the device, host to device
constexpr uint8_t kVendorIn = 0xC0;

bool attachModel() {
    static const bool attached = [] {
        auto attach = reinterpret_cast<vpod::usb::AttachFn>(
            platform::librarySymbol(platform::loadLibrary("libusb-1.0.so.0"), vpod::usb::kAttachSymbol));
        if (attach) attach(&vpod::usb::thisProcessModel());
        return attach != nullptr;
    }();
    return attached;
}

class UsbPod : public ::testing::Test {
protected:
    void SetUp() override {
        if (!attachModel()) GTEST_SKIP() << "libusb-1.0.so.0 is not the USB-level virtual pod "
                                            "(LD_LIBRARY_PATH=<build>/vpod/usb/libusb)";
        std::string error;
        ASSERT_TRUE(vc::loadConfigText(kBoard, &error)) << error;
        ASSERT_EQ(libusb_init(&ctx_), 0);
    }
    void TearDown() override {
        closeChip();
        if (ctx_) libusb_exit(ctx_);
        vc::loadDefaultBoard();
    }

    // Opens the chip at that place on the bus (the board's order), claims channel A and puts it
    // into MPSSE mode.
    void openChip(size_t index) {
        libusb_device** list = nullptr;
        ASSERT_GT(libusb_get_device_list(ctx_, &list), static_cast<ssize_t>(index));
        libusb_config_descriptor* cfg = nullptr;
        ASSERT_EQ(libusb_get_config_descriptor(list[index], 0, &cfg), 0);
        packet_ = cfg->interface[0].altsetting[0].endpoint[0].wMaxPacketSize;
        libusb_free_config_descriptor(cfg);
        ASSERT_EQ(libusb_open(list[index], &h_), 0);
        libusb_free_device_list(list, 1);
        ASSERT_EQ(libusb_claim_interface(h_, 0), 0);
        ASSERT_EQ(vendor(0x0B, 0x0200 | 0x0B), 0);   // MPSSE, TCK/TDI/TMS out
    }
    void closeChip() {
        if (!h_) return;
        libusb_release_interface(h_, 0);
        libusb_close(h_);
        h_ = nullptr;
    }
    int vendor(uint8_t request, uint16_t value) {
        return libusb_control_transfer(h_, kVendorOut, request, value, 1, nullptr, 0, 1000);
    }
    void out(const Bytes& bytes) {
        int n = 0;
        ASSERT_EQ(libusb_bulk_transfer(h_, 0x02, const_cast<uint8_t*>(bytes.data()), static_cast<int>(bytes.size()),
                                       &n, 1000),
                  0);
        ASSERT_EQ(n, static_cast<int>(bytes.size()));
    }
    // One bulk IN transfer; returns the libusb result, the raw bytes in *got.
    int in(Bytes* got, unsigned timeoutMs, int length = 4096) {
        got->assign(static_cast<size_t>(length), 0);
        int n = 0;
        const int r = libusb_bulk_transfer(h_, 0x81, got->data(), length, &n, timeoutMs);
        got->resize(static_cast<size_t>(n));
        return r;
    }

    libusb_context* ctx_ = nullptr;
    libusb_device_handle* h_ = nullptr;
    int packet_ = 0;
};

// n bytes of TDO, then send-immediate.
Bytes readBytes(unsigned n, bool flush = true) {
    Bytes b{0x28, static_cast<uint8_t>((n - 1) & 0xFF), static_cast<uint8_t>((n - 1) >> 8)};
    if (flush) b.push_back(0x87);
    return b;
}

TEST_F(UsbPod, AnswersArriveInPacketsThatEachStartWithTheModemStatus) {
    for (size_t chip : {0u, 1u}) {
        SCOPED_TRACE(chip);
        openChip(chip);
        EXPECT_EQ(packet_, chip == 0 ? 512 : 64);   // HS01, an FT2232H; DC01, an FT2232C
        Bytes status(2);
        ASSERT_EQ(libusb_control_transfer(h_, kVendorIn, 0x05, 0, 1, status.data(), 2, 1000), 2);   // modem status
        const int perPacket = packet_ - 2;
        for (unsigned n : {1u, 61u, 62u, 63u, 509u, 510u, 511u, 1100u}) {
            SCOPED_TRACE(n);
            out(readBytes(n));
            Bytes got;
            ASSERT_EQ(in(&got, 1000), 0);
            // Full packets but the last, each with the status in front.
            ASSERT_EQ(got.size(), n + 2 * ((n + perPacket - 1) / perPacket));
            for (size_t at = 0; at < got.size(); at += static_cast<size_t>(packet_)) {
                ASSERT_GE(got.size() - at, 2u);
                EXPECT_EQ(Bytes(got.begin() + at, got.begin() + at + 2), status) << at;
            }
        }
        closeChip();
    }
}

TEST_F(UsbPod, HeldAnswersLeaveWhenFullFlushedOrAtTheLatencyTimer) {
    openChip(0);
    Bytes got;
    ASSERT_EQ(vendor(0x09, 255), 0);
    out({0x81});   // one answer byte, not flushed: the chip keeps it
    EXPECT_EQ(in(&got, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(got.empty());
    out({0x87});
    ASSERT_EQ(in(&got, 1000), 0);
    EXPECT_EQ(got.size(), 3u);

    out(readBytes(600, false));   // a full packet leaves at once, the rest waits
    ASSERT_EQ(in(&got, 1000), 0);
    EXPECT_EQ(got.size(), 512u);
    EXPECT_EQ(in(&got, 30), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(vendor(0x09, 2), 0);   // a short timer lets the rest go, then status alone
    ASSERT_EQ(in(&got, 1000), 0);
    EXPECT_EQ(got.size(), 600u - 510u + 2u);
    ASSERT_EQ(in(&got, 1000), 0);
    EXPECT_EQ(got.size(), 2u);
}

TEST_F(UsbPod, PurgesAndAStalledChipAndAnUnplugMidRead) {
    openChip(0);
    Bytes got;
    ASSERT_EQ(vendor(0x09, 2), 0);
    out({0x81, 0x87});
    ASSERT_EQ(vendor(0x00, 2), 0);   // purge of the chip-to-host buffer
    ASSERT_EQ(in(&got, 1000), 0);
    EXPECT_EQ(got.size(), 2u);

    ASSERT_TRUE(vc::stallReads("HS01A", 1));
    out({0x81, 0x87});
    EXPECT_EQ(in(&got, 50), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(in(&got, 1000), 0);
    EXPECT_EQ(got.size(), 3u) << "the answer comes once the chip talks again";

    ASSERT_EQ(vendor(0x09, 255), 0);
    libusb_transfer* t = libusb_alloc_transfer(0);
    ASSERT_NE(t, nullptr);
    Bytes buf(512);
    int done = 0;
    libusb_fill_bulk_transfer(t, h_, 0x81, buf.data(), 512, [](libusb_transfer* x) { *static_cast<int*>(x->user_data) = 1; },
                              &done, 0);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    timeval zero{0, 0};
    ASSERT_EQ(libusb_handle_events_timeout_completed(ctx_, &zero, &done), 0);
    EXPECT_EQ(done, 0);
    ASSERT_TRUE(vc::unplug("HS01A"));
    while (!done) ASSERT_EQ(libusb_handle_events_completed(ctx_, &done), 0);
    EXPECT_EQ(t->status, LIBUSB_TRANSFER_NO_DEVICE);
    libusb_free_transfer(t);
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x02, buf.data(), 1, nullptr, 1000), LIBUSB_ERROR_NO_DEVICE);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx_, &list), 3) << "the unplugged chip left the bus";
    libusb_free_device_list(list, 1);
}

// Through the libftdi provider: D2XX's per-channel listing, its status numbers, the event.
TEST_F(UsbPod, TheLibftdiProviderListsAndOpensLikeD2xx) {
    FtdiDriver& drv = libftdiDriver();
    uint32_t count = 0;
    ASSERT_EQ(drv.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    uint32_t index = 0;
    for (const vc::ChipInfo& chip : vc::chips()) {
        for (size_t c = 0; c < chip.interfaces.size(); ++c, ++index) {
            const std::string letter = chip.interfaces.size() > 1 ? std::string(" ") + char('A' + c) : "";
            char serial[32] = {}, description[64] = {};
            void* at = reinterpret_cast<void*>(uintptr_t{index});
            ASSERT_EQ(drv.listDevices(at, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
            EXPECT_EQ(serial, chip.interfaces[c]);
            const bool busy = chip.interfaces[c] == "QH01B";
            const FtStatus st = drv.listDevices(at, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
            EXPECT_EQ(st, busy ? FT_DEVICE_NOT_OPENED : FT_OK) << serial;
            if (!busy) {
                EXPECT_EQ(description, chip.description + letter);
            }
            FtHandle h = nullptr;
            ASSERT_EQ(drv.openEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &h), busy ? FT_DEVICE_NOT_OPENED : FT_OK);
            if (busy) continue;
            uint32_t type = 0;
            EXPECT_EQ(drv.getDeviceInfo(h, &type, nullptr, nullptr, nullptr), FT_OK);
            EXPECT_EQ(type, chip.type);
            EXPECT_EQ(drv.close(h), FT_OK);
        }
    }
    EXPECT_EQ(count, index);
    FtHandle h = nullptr;
    EXPECT_EQ(drv.openEx("NOSUCH", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);

    // Mode, time-outs, the event and reads are what every e2e_libftdi program runs on.
    ASSERT_EQ(drv.openEx("Dual RS232-HS A", FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    const uint8_t bad[] = {0xAA, 0x87};
    uint8_t echo[2] = {};
    uint32_t n = 0;
    ASSERT_TRUE(vc::unplug("HS01A"));
    EXPECT_EQ(drv.read(h, echo, 1, &n), FT_IO_ERROR);
    EXPECT_EQ(drv.write(h, bad, 2, &n), FT_IO_ERROR);
    EXPECT_EQ(drv.close(h), FT_OK);
    EXPECT_EQ(drv.close(h), FT_INVALID_HANDLE);
}

// The library over libftdi: a pod pulled out during a session fails the next call, nothing hangs.
TEST_F(UsbPod, AControllerWhosePodIsUnpluggedFailsItsNextCall) {
    vc::loadDefaultBoard();
    setFtdiDriver(&libftdiDriver());
    uint32_t h = 0;
    ASSERT_EQ(x_openKpx(&h, "USB"), 0u) << kpx_error_msg();
    ASSERT_EQ(x_tmsReset(h, 1), 0u) << x_kpxErrorMsg(h);
    const uint16_t tdi[2] = {0x0001, 0x8000};
    uint16_t tdo[2] = {};
    EXPECT_EQ(x_scanDr(h, 1, tdi, 32, tdo), 0u) << x_kpxErrorMsg(h);
    ASSERT_TRUE(vc::unplug("DV000001A"));
    EXPECT_EQ(x_scanDr(h, 1, tdi, 32, tdo), 1u);
    x_closeKpx(h);
    setFtdiDriver(nullptr);
}

}  // namespace
